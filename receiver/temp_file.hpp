// The copy under construction: a hidden temporary file beside the output
// name, renamed onto it only when complete. Until then any way out of the
// program (return, exit, a fatal signal) removes it, so a failed transfer
// leaves nothing behind and an earlier copy stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fd.hpp"
#include "transfer.hpp"

class TempFile {
public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  // Creates the file in the working directory. False with errno set.
  bool create();
  // Sets aside disk space for the whole copy, so a full disk shows before
  // any data comes. Filesystems without that skip it. False with errno set.
  bool reserve(std::uint64_t size);
  // Buffered: large pieces go straight to the file, small ones are
  // gathered first. False with errno set.
  bool append(const char* data, std::size_t length);
  // Writes out the rest, gives the file the permissions a new file gets
  // (0666 less the umask), closes it and renames it onto `name`. False
  // with errno set, and the temporary file removed.
  bool commit(const char* name);

private:
  bool flush();

  Fd fd_;
  char path_[32] = {};
  std::size_t fill_ = 0;
  char buffer_[BATCH_BLOCKS * BLOCK_SIZE] = {};
};
