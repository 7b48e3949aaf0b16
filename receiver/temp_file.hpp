// The copy's file, from creation to its name. Where the filesystem allows,
// it has no name at all (O_TMPFILE) until it is complete and on disk: then
// it is linked in under a hidden temporary name and renamed onto the output
// name, so no crash, signal or power loss leaves a partial file under any
// name, and its reserved space goes with the process. Elsewhere it is a
// hidden named file beside the output name, which cleanup.hpp removes on
// any exit or fatal signal that lets wharf run its handlers.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "fd.hpp"

// Whether a rename can put a file in place as `name` in the working
// directory: false with errno set (EISDIR for a directory, EPERM for a
// file in a sticky directory that belongs to someone else).
bool can_replace(const char* name);

class TempFile {
public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  // Creates the file in the working directory, with the permission bits
  // `mode` less the umask (0666 for any new file) where the filesystem has
  // them: unnamed where the filesystem allows it and `unnamed` is true,
  // else under a hidden name. False with errno set.
  bool create(bool unnamed = true, mode_t mode = 0666);
  int fd() const { return fd_.get(); }
  bool named() const { return path_[0] != '\0'; }
  // Sets aside disk space for the whole copy, so a full disk shows before
  // any data comes. Filesystems without that skip it. False with errno set.
  bool reserve(std::uint64_t size);
  // Once everything is written: waits until it is on disk, and puts it in
  // place as `name`; unless `replace`, only where no file has that name
  // (EEXIST). False with errno set, and nothing left behind.
  bool commit(const char* name, bool replace = true);
  // Waits until the new name itself is on disk. False with errno set.
  bool sync_directory();

private:
  bool link_in();
  bool rename_into_place(const char* name, bool replace);

  Fd fd_;
  Fd dir_;
  char path_[32] = {};
};
