#include "temp_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cleanup.hpp"
#include "rights.hpp"

namespace {

mode_t less_umask(mode_t mode) {
  // umask cannot fail; reading it means setting it, so it is set back.
  const mode_t mask = ::umask(0);
  (void)::umask(mask);
  return mode & 0777 & ~mask;
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
  if (::stat(".", &here) == 0 &&
      !sticky_allows(here.st_mode, here.st_uid, target.st_uid, ::geteuid())) {
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

bool TempFile::create(bool unnamed, mode_t mode) {
  dir_ = Fd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_)
    return false;
  if (unnamed) {
    // The kernel takes the umask off.
    fd_ = Fd(::open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode & 0777));
    if (fd_)
      return true;
    // Filesystems (and kernels) without unnamed files say so; any other
    // error, such as no permission, the named file would meet as well.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
      return false;
  }
  // The clean-up is armed before the file exists.
  arm_cleanup();
  {
    const SignalsHeld held;
    std::snprintf(path_, sizeof path_, ".wharf-XXXXXX");
    fd_ = Fd(::mkostemp(path_, O_CLOEXEC));
    if (!fd_) {
      path_[0] = '\0';
      return false;
    }
    remove_on_exit(path_);
  }
  // mkostemp made it 0600. A filesystem without Unix permissions (FAT,
  // say) cannot change them, and keeps its own.
  if (::fchmod(fd_.get(), less_umask(mode)) != 0 && errno != ENOSYS && errno != EPERM &&
      errno != EOPNOTSUPP)
    return false;
  return true;
}

bool TempFile::reserve(std::uint64_t size) {
  if (size == 0)
    return true;
  // A signal (wharf stopped and continued, say) interrupts a long
  // reservation on tmpfs; what it reserved so far stays, and it goes on.
  int result = 0;
  do
    result = ::fallocate(fd_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
  while (result != 0 && errno == EINTR);
  return result == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
}

// Gives the unnamed file a hidden name of its own, for the rename. Linking
// by descriptor needs CAP_DAC_READ_SEARCH; /proc's link to it does not.
bool TempFile::link_in() {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_.get());
  arm_cleanup();
  const SignalsHeld held;
  // A name no one can guess and plant first, as mkostemp makes one.
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
      break;
    constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::snprintf(path_, sizeof path_, ".wharf-");
    for (std::size_t i = 0; i < sizeof random; ++i)
      path_[7 + i] = LETTERS[random[i] % (sizeof LETTERS - 1)];
    path_[7 + sizeof random] = '\0';
    if (::linkat(fd_.get(), "", AT_FDCWD, path_, AT_EMPTY_PATH) == 0 ||
        ::linkat(AT_FDCWD, proc, AT_FDCWD, path_, AT_SYMLINK_FOLLOW) == 0) {
      remove_on_exit(path_);
      return true;
    }
    if (errno != EEXIST)
      break;
  }
  path_[0] = '\0';
  return false;
}

bool TempFile::commit(const char* name, bool replace) {
  const bool ok = ::fsync(fd_.get()) == 0 && (named() || link_in()) && fd_.close() == 0 &&
                  rename_into_place(name, replace);
  const int error = errno;
  if (!ok)
    remove_pending();
  path_[0] = '\0';
  fd_.reset();
  errno = error;
  return ok;
}

bool TempFile::rename_into_place(const char* name, bool replace) {
  const SignalsHeld held;
  if (replace ? ::rename(path_, name) != 0
              : ::renameat2(AT_FDCWD, path_, AT_FDCWD, name, RENAME_NOREPLACE) != 0)
    return false;
  keep_on_exit();
  return true;
}

bool TempFile::sync_directory() {
  return ::fsync(dir_.get()) == 0;
}
