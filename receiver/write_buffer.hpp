// The copy's bytes on their way to its file: gathered a mebibyte at a time
// in a page-aligned buffer that arrivals are received into directly, and
// written whole pages at a time, with writeback and flushes to disk
// started as the file grows so that the final sync waits only for the tail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "background_sync.hpp"

class WriteBuffer {
public:
  // The buffer is a mapping made once, off the stack, which a small stack
  // limit would not hold; ready() says whether it could be made.
  WriteBuffer();
  ~WriteBuffer();
  WriteBuffer(const WriteBuffer&) = delete;
  WriteBuffer& operator=(const WriteBuffer&) = delete;
  bool ready() const { return buffer_ != nullptr; }

  // Where what is gathered goes: set once the file exists.
  void write_to(int fd) { fd_ = fd; }
  // Room for the next `length` bytes (at most half the buffer), where they
  // can be received directly; nullptr with errno set when writing out what
  // was gathered failed.
  char* space(std::size_t length);
  // The bytes [offset, offset + length) of the last space() are the copy's
  // next. Bytes of one space() are kept in order.
  void keep(std::size_t offset, std::size_t length);
  // Writes out all that is gathered and waits for the flushes started.
  // False with errno set.
  bool finish();

private:
  bool write_out(std::size_t length);
  void keep_disk_busy();

  char* buffer_;
  int fd_ = -1;
  std::size_t fill_ = 0;
  std::size_t space_at_ = 0; // where the last space() began
  std::uint64_t written_ = 0;
  std::uint64_t writeback_from_ = 0;
  BackgroundSync flush_;
};
