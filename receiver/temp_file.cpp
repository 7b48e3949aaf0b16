#include "temp_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t FILE_PAGE = 4096;

// The one temporary file in existence, for the exit and signal handlers;
// empty when there is none.
char pending[32];

void remove_pending() {
  if (pending[0] != '\0')
    ::unlink(pending);
  pending[0] = '\0';
}

void on_fatal_signal(int signal) {
  remove_pending();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void arm(const char* path) {
  static const bool installed = [] {
    std::atexit(remove_pending);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
      std::signal(signal, on_fatal_signal);
    return true;
  }();
  (void)installed;
  std::snprintf(pending, sizeof pending, "%s", path);
}

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

bool write_pair(int fd, const char* first, std::size_t first_length, const char* second,
                std::size_t second_length) {
  iovec pieces[2] = {{const_cast<char*>(first), first_length},
                     {const_cast<char*>(second), second_length}};
  const ssize_t wrote = ::writev(fd, pieces, 2);
  if (wrote < 0 && errno != EINTR)
    return false;
  // A short write is finished piece by piece.
  std::size_t done = wrote < 0 ? 0 : static_cast<std::size_t>(wrote);
  const std::size_t from_first = std::min(done, first_length);
  return write_all(fd, first + from_first, first_length - from_first) &&
         write_all(fd, second + (done - from_first), second_length - (done - from_first));
}

mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

} // namespace

TempFile::~TempFile() {
  if (fd_ || path_[0] != '\0') {
    fd_.reset();
    remove_pending();
  }
}

bool TempFile::create() {
  std::snprintf(path_, sizeof path_, ".wharf-XXXXXX");
  const int fd = ::mkostemp(path_, O_CLOEXEC);
  if (fd < 0) {
    path_[0] = '\0';
    return false;
  }
  fd_ = Fd(fd);
  arm(path_);
  return true;
}

bool TempFile::reserve(std::uint64_t size) {
  if (size == 0 || ::fallocate(fd_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
    return true;
  return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool TempFile::flush() {
  const bool ok = write_all(fd_.get(), buffer_, fill_);
  fill_ = 0;
  return ok;
}

bool TempFile::append(const char* data, std::size_t length) {
  const std::size_t total = fill_ + length;
  if (total <= sizeof buffer_ && length < sizeof buffer_ / 2) {
    std::memcpy(buffer_ + fill_, data, length);
    fill_ = total;
    return true;
  }
  // Only whole pages go out and the odd end waits for the next piece, so
  // every write starts on a page boundary of the file: the page cache then
  // never has to read or zero part of a page.
  const std::size_t aligned = total / FILE_PAGE * FILE_PAGE;
  if (aligned <= fill_) {
    if (!write_all(fd_.get(), buffer_, aligned))
      return false;
    fill_ -= aligned;
    std::memmove(buffer_, buffer_ + aligned, fill_);
    std::memcpy(buffer_ + fill_, data, length);
    fill_ += length;
    return true;
  }
  const std::size_t taken = aligned - fill_;
  if (!write_pair(fd_.get(), buffer_, fill_, data, taken))
    return false;
  fill_ = length - taken;
  std::memcpy(buffer_, data + taken, fill_);
  return true;
}

bool TempFile::commit(const char* name) {
  const bool ok = flush() && ::fchmod(fd_.get(), new_file_mode()) == 0 && fd_.close() == 0 &&
                  ::rename(path_, name) == 0;
  const int error = errno;
  if (ok)
    pending[0] = '\0';
  else
    remove_pending();
  path_[0] = '\0';
  fd_.reset();
  errno = error;
  return ok;
}
