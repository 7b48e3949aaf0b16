// Sending full data blocks: many per system call with UDP segmentation
// offload where the kernel has it, one per call where it has not. Either
// way the receiver's socket sees separate 503-byte datagrams.
#pragma once

#include <cstddef>

#include "transfer.hpp"

class BlockSender {
public:
  explicit BlockSender(int sock, bool try_gso = true) : sock_(sock), gso_(try_gso) {}

  // Sends `count` (at most BATCH_BLOCKS) blocks laid end to end. Returns
  // false with errno set when the kernel refused a send.
  bool send_blocks(const char* blocks, std::size_t count);
  bool uses_gso() const { return gso_; }

private:
  bool send_segmented(const char* blocks, std::size_t count);
  int sock_;
  bool gso_;
};

// One datagram of exactly `length` bytes; false with errno set on failure.
bool send_datagram(int sock, const void* data, std::size_t length);
