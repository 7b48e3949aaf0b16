#include "temp_file.hpp"

#include <fcntl.h>
#include <signal.h>
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
// Writeback of the finished part starts at every step, so that the wait
// for the disk at the end covers only the tail.
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

bool TempFile::write_out(const char* first, std::size_t first_length, const char* second,
                         std::size_t second_length) {
  if (!write_pair(fd_.get(), first, first_length, second, second_length))
    return false;
  written_ += first_length + second_length;
  if (written_ - writeback_from_ >= WRITEBACK_STEP) {
    ::sync_file_range(fd_.get(), static_cast<off_t>(writeback_from_),
                      static_cast<off_t>(written_ - writeback_from_), SYNC_FILE_RANGE_WRITE);
    writeback_from_ = written_;
  }
  return true;
}

bool TempFile::flush() {
  const bool ok = write_out(buffer_, fill_, buffer_ + fill_, 0);
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
    if (!write_out(buffer_, aligned, buffer_ + aligned, 0))
      return false;
    fill_ -= aligned;
    std::memmove(buffer_, buffer_ + aligned, fill_);
    std::memcpy(buffer_ + fill_, data, length);
    fill_ += length;
    return true;
  }
  const std::size_t taken = aligned - fill_;
  if (!write_out(buffer_, fill_, data, taken))
    return false;
  fill_ = length - taken;
  std::memcpy(buffer_, data + taken, fill_);
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
  const bool ok = flush() && ::fsync(fd_.get()) == 0 && (named() || link_in()) &&
                  fd_.close() == 0 && rename_into_place(name);
  const int error = errno;
  if (!ok)
    remove_pending();
  path_[0] = '\0';
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
