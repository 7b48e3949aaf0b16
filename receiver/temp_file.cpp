#include "temp_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

constexpr std::size_t FILE_PAGE = 4096;
// Writeback of the finished part starts at every step, and a flush of the
// disk's cache unless the last is still running, so that the wait for the
// disk at the end covers only the tail.
constexpr std::uint64_t WRITEBACK_STEP = 8 << 20;

// The one named temporary file in existence, for the exit and signal
// handlers; empty when there is none. Written only while SignalsHeld, so a
// handler never sees a file without its name or a name half-written.
char pending[32];

void remove_pending() {
  if (pending[0] != '\0')
    ::unlink(pending);
  pending[0] = '\0';
}

void on_fatal_signal(int signal) {
  remove_pending();
  // The default action, now: end the process, with a core where it is due.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// Every signal whose default ends the process, with or without a core.
constexpr int FATAL_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGALRM,
                                 SIGUSR1, SIGUSR2, SIGXFSZ, SIGXCPU, SIGVTALRM, SIGPROF,
                                 SIGPOLL, SIGPWR,  SIGABRT, SIGSEGV, SIGBUS,    SIGFPE,
                                 SIGILL,  SIGSYS,  SIGTRAP};

void install_handlers() {
  static const bool installed = [] {
    std::atexit(remove_pending);
    for (const int signal : FATAL_SIGNALS) {
      struct sigaction now {};
      // One the user set to be ignored (nohup, say) stays ignored.
      if (::sigaction(signal, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
        continue;
      struct sigaction handler {};
      handler.sa_handler = on_fatal_signal;
      sigfillset(&handler.sa_mask);
      ::sigaction(signal, &handler, nullptr);
    }
    return true;
  }();
  (void)installed;
}

// Holds back every signal while a named file and `pending` may disagree.
class SignalsHeld {
public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
  sigset_t before_{};
};

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

bool can_replace(const char* name) {
  struct stat target {};
  if (::lstat(name, &target) != 0)
    return errno == ENOENT;
  if (S_ISDIR(target.st_mode)) {
    errno = EISDIR;
    return false;
  }
  struct stat here {};
  const uid_t me = ::geteuid();
  if (me != 0 && ::stat(".", &here) == 0 && (here.st_mode & S_ISVTX) != 0 && here.st_uid != me &&
      target.st_uid != me) {
    errno = EPERM;
    return false;
  }
  return true;
}

TempFile::~TempFile() {
  // A flush still running must not meet a closed, or reused, descriptor.
  flush_.finish();
  if (named()) {
    fd_.reset();
    remove_pending();
  }
}

bool TempFile::create(bool unnamed) {
  dir_ = Fd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_)
    return false;
  if (unnamed) {
    // Made with the permissions of a new file (0666 less the umask).
    fd_ = Fd(::open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (fd_)
      return true;
    // Filesystems (and kernels) without unnamed files say so; any other
    // error, such as no permission, the named file would meet as well.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
      return false;
  }
  // The clean-up is armed before the file exists.
  install_handlers();
  {
    const SignalsHeld held;
    std::snprintf(path_, sizeof path_, ".wharf-XXXXXX");
    const int fd = ::mkostemp(path_, O_CLOEXEC);
    if (fd < 0) {
      path_[0] = '\0';
      return false;
    }
    fd_ = Fd(fd);
    std::memcpy(pending, path_, sizeof pending);
  }
  // mkostemp made it 0600. A filesystem without Unix permissions (FAT,
  // say) cannot change them, and keeps its own.
  if (::fchmod(fd_.get(), new_file_mode()) != 0 && errno != ENOSYS && errno != EPERM &&
      errno != EOPNOTSUPP)
    return false;
  return true;
}

bool TempFile::reserve(std::uint64_t size) {
  if (size == 0 || ::fallocate(fd_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
    return true;
  return errno == EOPNOTSUPP || errno == ENOSYS;
}

bool TempFile::write_out(std::size_t length) {
  if (!write_all(fd_.get(), buffer_, length))
    return false;
  written_ += length;
  // What is left over, less than a page, starts the buffer again.
  fill_ -= length;
  std::memmove(buffer_, buffer_ + length, fill_);
  return true;
}

// Only while the data still arrives: at the end, the final fsync writes
// out and flushes the tail itself.
void TempFile::keep_disk_busy() {
  if (written_ - writeback_from_ < WRITEBACK_STEP)
    return;
  ::sync_file_range(fd_.get(), static_cast<off_t>(writeback_from_),
                    static_cast<off_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
  writeback_from_ = written_;
  flush_.start(fd_.get());
}

// Only whole pages go out and the odd end waits for the next piece, so
// every write starts on a page boundary of the file: the page cache then
// never has to read or zero part of a page.
char* TempFile::space(std::size_t length) {
  if (sizeof buffer_ - fill_ < length) {
    if (!write_out(fill_ / FILE_PAGE * FILE_PAGE))
      return nullptr;
    keep_disk_busy();
  }
  return buffer_ + fill_;
}

bool TempFile::append(const char* data, std::size_t length) {
  const std::less_equal<const char*> at_or_before;
  if (at_or_before(buffer_ + fill_, data) && at_or_before(data + length, buffer_ + sizeof buffer_)) {
    // Received into space(): in place already, or just after what came before.
    if (data != buffer_ + fill_)
      std::memmove(buffer_ + fill_, data, length);
    fill_ += length;
    return true;
  }
  while (length > 0) {
    char* into = space(std::min(length, sizeof buffer_ / 2));
    if (into == nullptr)
      return false;
    const std::size_t n = std::min(length, sizeof buffer_ - fill_);
    std::memcpy(into, data, n);
    fill_ += n;
    data += n;
    length -= n;
  }
  return true;
}

// Gives the unnamed file a hidden name of its own, for the rename. Linking
// by descriptor needs CAP_DAC_READ_SEARCH; /proc's link to it does not.
bool TempFile::link_in() {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_.get());
  install_handlers();
  const SignalsHeld held;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(path_, sizeof path_, ".wharf-%d-%d", static_cast<int>(::getpid()), attempt);
    if (::linkat(fd_.get(), "", AT_FDCWD, path_, AT_EMPTY_PATH) == 0 ||
        ::linkat(AT_FDCWD, proc, AT_FDCWD, path_, AT_SYMLINK_FOLLOW) == 0) {
      std::memcpy(pending, path_, sizeof pending);
      return true;
    }
    if (errno != EEXIST)
      break;
  }
  path_[0] = '\0';
  return false;
}

bool TempFile::commit(const char* name) {
  const bool ok = write_out(fill_) && flush_.finish() && ::fsync(fd_.get()) == 0 &&
                  (named() || link_in()) && fd_.close() == 0 && rename_into_place(name);
  const int error = errno;
  if (!ok)
    remove_pending();
  path_[0] = '\0';
  // A failed write leaves the last flush unjoined.
  flush_.finish();
  fd_.reset();
  errno = error;
  return ok;
}

bool TempFile::rename_into_place(const char* name) {
  const SignalsHeld held;
  if (::rename(path_, name) != 0)
    return false;
  pending[0] = '\0';
  return true;
}

bool TempFile::sync_directory() {
  return ::fsync(dir_.get()) == 0;
}
