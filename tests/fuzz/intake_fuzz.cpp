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

// The stage wharf takes an arrival up to, from where the intake stands.
Stage next_stop(Stage stage) {
  switch (stage) {
  case Stage::name:
    return Stage::size;
  case Stage::size:
    return Stage::blocks;
  case Stage::blocks:
    return Stage::final_block;
  default:
    return Stage::done;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Intake intake;
  std::uint64_t content = 0;
  bool sized = false;
  while (size >= 4 && intake.stage() != Stage::refused && intake.stage() != Stage::done) {
    std::size_t length = read16(data) % (BATCH_BLOCKS * BLOCK_SIZE + 1);
    const std::size_t segment = read16(data + 2);
    data += 4;
    size -= 4;
    length = std::min(length, size);
    const char* bytes = reinterpret_cast<const char*>(data);
    Arrival arrival(length, segment);
    std::size_t kept_to = 0; // content comes in order, never twice
    while (!arrival.used_up() && intake.stage() != Stage::refused &&
           intake.stage() != Stage::done) {
      const Stage before = intake.stage();
      const std::uint64_t received_before = intake.received();
      const Arrival::Content c = arrival.feed(intake, bytes, next_stop(before));
      check(c.offset + c.length <= length);
      if (c.length > 0) {
        check(c.offset >= kept_to);
        kept_to = c.offset + c.length;
      }
      if (intake.stage() == Stage::refused)
        break;
      if (before == Stage::size) {
        check(!sized);
        sized = true;
        const char* name = intake.output_name();
        check(std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
              std::strcmp(name, "..") != 0 && name[0] != '\0' && name[0] != '.');
        check(intake.size() <= SIZE_MAX_BYTES);
      }
      // Content only once the copy can be prepared, and exactly what the
      // intake counted: no byte of a control datagram or a refused one.
      if (c.length > 0)
        check(sized);
      check(intake.received() - received_before == c.length);
      content += c.length;
      check(content <= intake.size() || !sized);
    }
    data += length;
    size -= length;
  }
  if (intake.stage() == Stage::done)
    check(content == intake.size() && intake.received() == intake.size());
  return 0;
}
