// wharf's reading of one transfer: the datagrams in the order they came,
// checked against the sequence they must form (name, size, full blocks,
// final block). No sockets and no files, so tests and the fuzzer feed it
// datagrams directly and wharf's main uses it as it is.
#pragma once

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

// One arrival: a single datagram, or a coalesced batch of datagrams of
// `segment` bytes each but the last, fed to the intake a stage at a time.
// A zero-length arrival is one zero-length datagram.
class Arrival {
public:
  Arrival() = default; // nothing left
  Arrival(std::size_t length, std::size_t segment)
      : length_(length), segment_(segment == 0 ? length : segment), left_(true) {}
  bool used_up() const { return !left_; }

  // The bytes of an arrival that belong in the copy.
  struct Content {
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  // Feeds the intake the arrival's next datagrams, held at `data`, until
  // it reaches `until`, refuses one, or the arrival is used up. Returns
  // those of the datagrams taken that are the file's contents.
  Content feed(Intake& intake, const char* data, Stage until);

private:
  std::size_t length_ = 0;
  std::size_t segment_ = 0;
  std::size_t offset_ = 0;
  bool left_ = false;
};
