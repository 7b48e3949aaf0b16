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
  bool sized = false, final_announced = false;
  while (size >= 4 && intake.stage() != Stage::refused && intake.stage() != Stage::done) {
    std::size_t length = read16(data) % (BATCH_BLOCKS * BLOCK_SIZE + 1);
    const std::size_t segment = read16(data + 2);
    data += 4;
    size -= 4;
    length = std::min(length, size);
    const std::uint64_t received_before = intake.received();
    const Taken taken =
        take_arrival(intake, reinterpret_cast<const char*>(data), length, segment);
    check(taken.content_from <= length);
    if (taken.size_came) {
      check(!sized);
      sized = true;
      const char* name = intake.output_name();
      check(std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
            std::strcmp(name, "..") != 0 && name[0] != '\0' && name[0] != '.');
      check(intake.size() <= SIZE_MAX_BYTES);
    }
    if (taken.final_due) {
      check(sized && !final_announced);
      final_announced = true;
    }
    // Content only once the copy can be prepared, and exactly what the
    // intake counted: no byte of a control datagram or a refused one.
    if (taken.content_from < length)
      check(sized);
    if (!taken.refused) {
      check(intake.received() - received_before == length - taken.content_from);
      content += length - taken.content_from;
      check(content <= intake.size());
    }
    data += length;
    size -= length;
  }
  if (intake.stage() == Stage::done)
    check(content == intake.size() && final_announced && intake.received() == intake.size());
  return 0;
}
