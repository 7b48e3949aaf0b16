// Loaded into ferry or wharf with LD_PRELOAD, makes the one system call
// that FAIL_CALL names fail with EIO, so tests can see what the programs
// do when the disk lets them down:
//   fsync      an fsync of a regular file
//   fsync_dir  an fsync of a directory
//   fdatasync  an fdatasync (wharf's flushes while the data arrives)
//   close      a close of a regular file other than the standard streams
// A close that fails still closes, as the kernel's does.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
