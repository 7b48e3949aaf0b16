#include "source_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

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

Failure open_source(const char* name, bool more_words, Source* source) {
  // O_NONBLOCK keeps a FIFO from holding the open until a writer comes.
  Fd file(::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
