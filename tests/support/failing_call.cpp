// Loaded into ferry or wharf with LD_PRELOAD, makes the one system call
// that FAIL_CALL names fail with EIO, so tests can see what the programs
// do when the disk lets them down:
//   fsync      an fsync of a regular file
//   fsync_dir  an fsync of a directory
//   fdatasync  an fdatasync (wharf's flushes while the data arrives)
//   close      a close of a regular file other than the standard streams
// A close that fails still closes, as the kernel's does. Two more stand
// for a filesystem or a draw of chance the tests cannot choose:
//   tmpfile      an open of an unnamed file (O_TMPFILE) fails with
//                EOPNOTSUPP, as on a filesystem without them
//   random_zero  the first getrandom gives zeros, a draw that a test can
//                have taken already
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

bool failing(const char* call) {
  const char* chosen = std::getenv("FAIL_CALL");
  return chosen != nullptr && std::strcmp(chosen, call) == 0;
}

bool is(int fd, mode_t type) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == type;
}

template <class Call> Call next(const char* name) {
  return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

int fail_with_eio() {
  errno = EIO;
  return -1;
}

} // namespace

extern "C" int fsync(int fd) {
  if ((failing("fsync") && is(fd, S_IFREG)) || (failing("fsync_dir") && is(fd, S_IFDIR)))
    return fail_with_eio();
  return next<int (*)(int)>("fsync")(fd);
}

extern "C" int fdatasync(int fd) {
  if (failing("fdatasync"))
    return fail_with_eio();
  return next<int (*)(int)>("fdatasync")(fd);
}

extern "C" int close(int fd) {
  const bool fail = failing("close") && fd > 2 && is(fd, S_IFREG);
  const int result = next<int (*)(int)>("close")(fd);
  return fail ? fail_with_eio() : result;
}

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    std::va_list more;
    va_start(more, flags);
    mode = va_arg(more, mode_t);
    va_end(more);
  }
  if (failing("tmpfile") && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

// The same call under its large-file name.
extern "C" int open64(const char* path, int flags, ...) __attribute__((alias("open")));

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned flags) {
  static bool drawn = false;
  if (failing("random_zero") && !std::exchange(drawn, true)) {
    std::memset(buffer, 0, length);
    return static_cast<ssize_t>(length);
  }
  return next<ssize_t (*)(void*, size_t, unsigned)>("getrandom")(buffer, length, flags);
}
