#include "write_buffer.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Arrivals are gathered and written a mebibyte at a time: fewer, larger
// writes, each starting on a page boundary of the file.
constexpr std::size_t CAPACITY = 1 << 20;
constexpr std::size_t FILE_PAGE = 4096;
// Writeback of the finished part starts at every step, and a flush of the
// disk's cache unless the last is still running.
constexpr std::uint64_t WRITEBACK_STEP = 8 << 20;

bool write_all(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t wrote = ::write(fd, data, length);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0) {
      if (wrote == 0)
        errno = EIO;
      return false;
    }
    data += wrote;
    length -= static_cast<std::size_t>(wrote);
  }
  return true;
}

char* map_buffer() {
  void* at = ::mmap(nullptr, CAPACITY, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return at == MAP_FAILED ? nullptr : static_cast<char*>(at);
}

} // namespace

WriteBuffer::WriteBuffer() : buffer_(map_buffer()) {}

WriteBuffer::~WriteBuffer() {
  // A flush still running must not outlive the descriptor it flushes.
  flush_.finish();
  // Unchecked: unmapping what mmap gave cannot fail, and the process ends soon after.
  if (buffer_ != nullptr)
    (void)::munmap(buffer_, CAPACITY);
}

bool WriteBuffer::write_out(std::size_t length) {
  if (!write_all(fd_, buffer_, length))
    return false;
  written_ += length;
  // What is left over, less than a page, starts the buffer again.
  fill_ -= length;
  std::memmove(buffer_, buffer_ + length, fill_);
  return true;
}

// Only while the data still arrives: at the end, the final fsync writes
// out and flushes the tail itself.
void WriteBuffer::keep_disk_busy() {
  if (written_ - writeback_from_ < WRITEBACK_STEP)
    return;
  // Only a head start for the disk: where the kernel refuses it, the
  // background and the final fdatasync write the same pages, and fail
  // there if they cannot.
  (void)::sync_file_range(fd_, static_cast<off_t>(writeback_from_),
                          static_cast<off_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
  writeback_from_ = written_;
  flush_.start(fd_);
}

// Only whole pages go out and the odd end waits for the next piece, so
// every write starts on a page boundary of the file: the page cache then
// never has to read or zero part of a page.
char* WriteBuffer::space(std::size_t length) {
  if (CAPACITY - fill_ < length) {
    if (!write_out(fill_ / FILE_PAGE * FILE_PAGE))
      return nullptr;
    keep_disk_busy();
  }
  space_at_ = fill_;
  return buffer_ + fill_;
}

void WriteBuffer::keep(std::size_t offset, std::size_t length) {
  // Bytes before them in the space did not belong: they move down.
  const char* from = buffer_ + space_at_ + offset;
  if (from != buffer_ + fill_)
    std::memmove(buffer_ + fill_, from, length);
  fill_ += length;
}

bool WriteBuffer::finish() {
  const bool wrote = write_out(fill_);
  const int error = errno;
  const bool flushed = flush_.finish();
  if (!wrote)
    errno = error;
  return wrote && flushed;
}
