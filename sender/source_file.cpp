#include "source_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <cerrno>
#include <cstring>
#include <utility>

#include "transfer.hpp"

off_t fsize(int file, bool* regular) {
  struct stat st {};
  if (::fstat(file, &st) != 0)
    return -1;
  *regular = S_ISREG(st.st_mode);
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

Failure open_source(const char* name, bool more_words, Source* source) {
  Fd file(::open(name, OPEN_FLAGS | O_NOFOLLOW));
  if (!file && errno == ELOOP) {
    const long owner = link_owner(name);
    if (owner >= 0 && static_cast<uid_t>(owner) != ::geteuid())
      return Failure::said("%s is a symbolic link of user %s, not yours; nothing sent", name,
                           user_of(static_cast<uid_t>(owner)).name);
    if (owner >= 0)
      file = Fd(::open(name, OPEN_FLAGS));
  }
  if (!file)
    return Failure::said("cannot open %s: %s%s; nothing sent", name, std::strerror(errno),
                         more_words ? " (a name is one word)" : "");
  bool regular = false;
  const off_t length = fsize(file.get(), &regular);
  if (length < 0)
    return Failure::call("fstat");
  if (!regular)
    return Failure::said("%s is not a regular file; nothing sent", name);
  if (static_cast<std::uint64_t>(length) > SIZE_MAX_BYTES)
    return Failure::said("%s is %lld bytes; files must be under 2 GiB; nothing sent", name,
                         static_cast<long long>(length));
  source->file = std::move(file);
  source->size = static_cast<std::uint64_t>(length);
  return {};
}

bool readable_by(const User& user, const Source& source) {
  struct stat st {};
  if (::fstat(source.file.get(), &st) != 0 || !may(user, st, R_OK))
    return false;
  char path[PATH_MAX];
  if (::getcwd(path, sizeof path) == nullptr)
    return false;
  // Each folder from the working directory up to the root.
  for (std::size_t end = std::strlen(path);;) {
    path[end] = '\0';
    if (::stat(path, &st) != 0 || !may(user, st, X_OK))
      return false;
    if (end <= 1)
      break;
    while (end > 1 && path[end - 1] != '/')
      --end;
    if (end > 1)
      --end; // the '/' goes too, unless it is the root
  }
  return true;
}
