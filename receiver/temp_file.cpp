#include "temp_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

bool TempFile::flush() {
  const bool ok = write_all(fd_.get(), buffer_, fill_);
  fill_ = 0;
  return ok;
}

bool TempFile::append(const char* data, std::size_t length) {
  if (length >= sizeof buffer_ / 2)
    return flush() && write_all(fd_.get(), data, length);
  if (fill_ + length > sizeof buffer_ && !flush())
    return false;
  std::memcpy(buffer_ + fill_, data, length);
  fill_ += length;
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
