// wharf's reading of one transfer: the datagrams in the order they came,
// checked against the sequence they must form (name, size, full blocks,
// final block). No sockets and no files, so tests and the fuzzer feed it
// datagrams directly and wharf's main uses it as it is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "transfer.hpp"

enum class Stage { name, size, blocks, final_block, done, refused };

class Intake {
public:
  // Takes the next datagram. Returns false when it does not fit the
  // sequence; reason() then says why, and every later datagram is refused.
  bool take(const char* data, std::size_t length);

  Stage stage() const { return stage_; }
  // The length the next datagram must have.
  std::size_t expected_length() const;
  // Known once the name datagram has been taken.
  const char* sent_name() const { return sent_name_; }
  const char* output_name() const { return output_name_; }
  std::size_t name_length() const { return name_length_; }
  // Known once the size datagram has been taken.
  std::uint64_t size() const { return size_; }
  std::uint64_t received() const { return received_; }
  const char* reason() const { return reason_; }

private:
  bool take_name(const char* data, std::size_t length);
  bool take_size(const char* data, std::size_t length);
  bool take_block(std::size_t length);
  bool refuse(const char* format, ...) __attribute__((format(printf, 2, 3)));

  Stage stage_ = Stage::name;
  char sent_name_[CTRL_LEN] = {};
  char output_name_[CTRL_LEN] = {};
  std::size_t name_length_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t received_ = 0;
  char reason_[200] = {};
};

// What one arrival, a single datagram or a coalesced batch, brought.
struct Taken {
  bool refused = false;   // a datagram did not fit the sequence: the intake's reason() says why
  bool size_came = false; // the size was taken: the copy is to be prepared before any content
  bool final_due = false; // every full block has come: the final datagram is next
  std::size_t content_from = 0; // the bytes from here to the arrival's end belong in the copy
};

// Takes each datagram of an arrival in order (`segment` bytes each but the
// last, or one datagram when `segment` is 0) and says which of its bytes
// belong in the copy.
Taken take_arrival(Intake& intake, const char* data, std::size_t length, std::size_t segment);

// Splits an arrival into its datagrams: one datagram, or a coalesced batch
// of `segment` bytes each but the last. A zero-length arrival is one
// zero-length datagram. Stops at the first datagram `take` refuses and
// returns false.
template <class Take>
bool for_each_datagram(const char* data, std::size_t length, std::size_t segment, Take&& take) {
  std::size_t offset = 0;
  do {
    const std::size_t n = segment == 0 ? length : std::min(segment, length - offset);
    if (!take(data + offset, n))
      return false;
    offset += n;
  } while (offset < length);
  return true;
}
