// libFuzzer target: arbitrary arrivals, split as wharf splits them, fed to
// the intake. Whatever comes, the intake must never accept a name that
// leaves the folder, never let more than S bytes into the copy, and never
// finish unless exactly S bytes came in the expected lengths.
//
// Input: records of [length: 2 bytes LE][segment: 2 bytes LE][length bytes].
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "intake.hpp"

namespace {

void check(bool invariant) {
  if (!invariant)
    std::abort();
}

std::size_t read16(const std::uint8_t* p) {
  return p[0] | static_cast<std::size_t>(p[1]) << 8;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Intake intake;
  std::uint64_t content = 0;
  std::size_t full = 0, finals = 0;
  while (size >= 4 && intake.stage() != Stage::refused && intake.stage() != Stage::done) {
    std::size_t length = read16(data) % (BATCH_BLOCKS * BLOCK_SIZE + 1);
    const std::size_t segment = read16(data + 2);
    data += 4;
    size -= 4;
    length = std::min(length, size);
    const char* arrival = reinterpret_cast<const char*>(data);
    for_each_datagram(arrival, length, segment, [&](const char* d, std::size_t n) {
      const Stage before = intake.stage();
      if (!intake.take(d, n))
        return false;
      if (before == Stage::size) {
        const char* name = intake.output_name();
        check(std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
              std::strcmp(name, "..") != 0 && name[0] != '\0');
        check(intake.size() <= SIZE_MAX_BYTES);
      }
      if (before == Stage::blocks) {
        check(n == BLOCK_SIZE);
        ++full;
      }
      if (before == Stage::final_block) {
        check(n == final_length(intake.size()));
        ++finals;
      }
      if (before == Stage::blocks || before == Stage::final_block)
        content += n;
      check(content <= intake.size() && content == intake.received());
      return true;
    });
    data += length;
    size -= length;
  }
  if (intake.stage() == Stage::done)
    check(content == intake.size() && full == full_blocks(intake.size()) && finals == 1);
  return 0;
}
