#include "source_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "transfer.hpp"

off_t fsize(int file, bool* regular, mode_t* mode) {
  struct stat st {};
  if (::fstat(file, &st) != 0)
    return -1;
  *regular = S_ISREG(st.st_mode);
  if (mode != nullptr)
    *mode = st.st_mode & 07777;
  return st.st_size;
}

namespace {

// O_NONBLOCK keeps a FIFO from holding the open until a writer comes.
constexpr int OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// The owner of the symbolic link `name`, or -1 with errno set.
long link_owner(const char* name) {
  const Fd link(::open(name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!link || ::fstat(link.get(), &st) != 0)
    return -1;
  return static_cast<long>(st.st_uid);
}

} // namespace

Failure open_source(const char* name, Source* source) {
  Fd file(::open(name, OPEN_FLAGS | O_NOFOLLOW));
  if (!file && errno == ELOOP) {
    const long owner = link_owner(name);
    if (owner >= 0 && static_cast<uid_t>(owner) != ::geteuid())
      return Failure::said("%s is a symbolic link of user %s, not yours", name,
                           user_of(static_cast<uid_t>(owner)).name);
    if (owner >= 0)
      file = Fd(::open(name, OPEN_FLAGS));
  }
  if (!file)
    return Failure::said("cannot open %s: %s", name, std::strerror(errno));
  bool regular = false;
  mode_t mode = 0;
  const off_t length = fsize(file.get(), &regular, &mode);
  if (length < 0)
    return Failure::call("fstat");
  if (!regular)
    return Failure::said("%s is not a regular file", name);
  if (static_cast<std::uint64_t>(length) > SIZE_MAX_BYTES)
    return Failure::said("%s is %lld bytes; files must be under 2 GiB", name,
                         static_cast<long long>(length));
  source->file = std::move(file);
  source->size = static_cast<std::uint64_t>(length);
  source->mode = mode & 0777;
  return {};
}

bool readable_by(const User& user, const Source& source) {
  Access file;
  if (!access_of(source.file.get(), &file) || !may(user, file, R_OK))
    return false;
  char proc[40];
  char path[PATH_MAX];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", source.file.get());
  const ssize_t length = ::readlink(proc, path, sizeof path - 1);
  if (length <= 0 || path[0] != '/')
    return false;
  path[length] = '\0';
  // Down from the root, each folder judged through the descriptor that
  // reached it.
  Fd folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (char* name = path + 1; folder;) {
    Access here;
    if (!access_of(folder.get(), &here) || !may(user, here, X_OK))
      return false;
    char* slash = std::strchr(name, '/');
    if (slash == nullptr) {
      // The last name must hold the file that was opened, not one put there since.
      struct stat named {};
      struct stat opened {};
      return ::fstatat(folder.get(), name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
             ::fstat(source.file.get(), &opened) == 0 && named.st_dev == opened.st_dev &&
             named.st_ino == opened.st_ino;
    }
    *slash = '\0';
    folder = Fd(::openat(folder.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    name = slash + 1;
  }
  return false;
}
