// The file ferry sends: opened once, checked and measured before anything
// goes out, then read through the same descriptor.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "failure.hpp"
#include "fd.hpp"
#include "rights.hpp"

struct Source {
  Fd file;
  std::uint64_t size = 0;
  mode_t mode = 0; // its permission bits, which its copy gets (less the receiver's umask)
};

// The length of the open file, or -1 with errno set; `regular` says
// whether it is a regular file, the only kind whose length is its size,
// and `mode` (if given) its mode bits, from the same look.
off_t fsize(int file, bool* regular, mode_t* mode = nullptr);

// Opens `name` in the working directory: a regular file under 2 GiB.
// A symbolic link is followed only if it is the user's own: one that
// another user planted could point anywhere the user may read.
Failure open_source(const char* name, Source* source);

// Whether `user` could read the open file by their own rights where it
// really is: the file itself, and every folder on its path as the kernel
// gives it for the open file (through whatever links led there), each
// opened once from the root down and the last shown to hold this very
// file.
bool readable_by(const User& user, const Source& source);
