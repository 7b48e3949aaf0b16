// The copy under construction. Where the filesystem allows, it has no name
// at all (O_TMPFILE) until it is complete and on disk: then it is linked in
// under a hidden temporary name and renamed onto the output name, so no
// crash, signal or power loss leaves a partial file under any name, and its
// reserved space goes with the process. Elsewhere it is a hidden named file
// beside the output name, removed on any exit or fatal signal that lets
// wharf run its handlers (not SIGKILL, nor a power loss).
#pragma once

#include <cstddef>
#include <cstdint>

#include "background_sync.hpp"
#include "fd.hpp"
#include "transfer.hpp"

// Whether a rename can put a file in place as `name` in the working
// directory: false with errno set (EISDIR for a directory, EPERM for a
// file in a sticky directory that belongs to someone else).
bool can_replace(const char* name);

class TempFile {
public:
  // The write buffer is left as it is: only what was received into it or
  // copied in is ever written out, and clearing it would touch 1 MiB.
  // cppcheck-suppress uninitMemberVar
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  // Creates the file in the working directory, with the permissions a new
  // file gets (0666 less the umask) where the filesystem has them: unnamed
  // where the filesystem allows it and `unnamed` is true, else under a
  // hidden name. False with errno set.
  bool create(bool unnamed = true);
  bool named() const { return path_[0] != '\0'; }
  // Sets aside disk space for the whole copy, so a full disk shows before
  // any data comes. Filesystems without that skip it. False with errno set.
  bool reserve(std::uint64_t size);
  // Room for the next `length` bytes (at most half the buffer) in the
  // write buffer, where they can be received directly; nullptr with errno
  // set when writing out what was gathered failed.
  char* space(std::size_t length);
  // The copy's next bytes: ones received into space() are taken where they
  // lie (moved down over any bytes before them that do not belong), others
  // are copied in. Gathered and written a mebibyte at a time, with
  // writeback and flushes to disk started as the file grows. False with
  // errno set.
  bool append(const char* data, std::size_t length);
  // Writes out the rest, waits until it is on disk, and puts it in place as
  // `name`. False with errno set, and nothing left behind.
  bool commit(const char* name);
  // Waits until the new name itself is on disk. False with errno set.
  bool sync_directory();

private:
  bool write_out(std::size_t length);
  // Starts writeback and a flush of what was written since the last step.
  void keep_disk_busy();
  bool link_in();
  bool rename_into_place(const char* name);

  Fd fd_;
  Fd dir_;
  char path_[32] = {};
  std::uint64_t written_ = 0;
  std::uint64_t writeback_from_ = 0;
  BackgroundSync flush_;
  std::size_t fill_ = 0;
  // Arrivals are gathered and written a mebibyte at a time: fewer, larger
  // writes, each starting on a page boundary of the file.
  alignas(4096) char buffer_[1 << 20];
};
