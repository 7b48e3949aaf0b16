// Sending the file's contents: the full blocks, many per system call, and
// then the final datagram. Three ways to send full blocks, best first:
//   splice - the file's pages spliced into a pipe, and from there into the
//            socket, with UDP segmentation set on the socket: the bytes
//            never pass through ferry's memory;
//   copy   - read into a buffer, then one sendmsg() with a UDP_SEGMENT
//            control message;
//   single - read, then one send() per block.
// The first that the kernel refuses is left for the next, once and for
// good. Older kernels take at most 64 segments a send, not 128: a batch
// refused as too long is sent again in sends of 64 before anything else
// is given up. Whichever is used, every receiving socket sees the same
// separate 503-byte datagrams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fd.hpp"
#include "transfer.hpp"

enum class Path { splice, copy, single };

enum class Sent {
  ok,
  shrank,     // the file ended early
  unreadable, // reading the file failed; errno set
  refused,    // the socket refused a send; errno set
  cut_short,  // the kernel sent part of a batch: later blocks would be out of step
};

class BlockSender {
public:
  // Sends `file` from where it stands over the connected `sock`.
  BlockSender(int sock, int file, Path first = Path::splice);
  BlockSender(const BlockSender&) = delete;
  BlockSender& operator=(const BlockSender&) = delete;

  // The next `count` (at most BATCH_BLOCKS) blocks, each a datagram.
  Sent send_blocks(std::size_t count);
  // The next `length` bytes as one plain datagram, zero-length or not.
  Sent send_final(std::size_t length);
  Path path() const { return path_; }

private:
  Sent splice(std::size_t length, bool* in_buffer);
  Sent read_in(int from, std::size_t length);
  bool send_segmented(const char* data, std::size_t length);
  template <class Send>
  bool in_sends_the_kernel_takes(std::size_t length, Send&& send);
  void use_segments_on_socket(bool on);

  int sock_;
  int file_;
  Path path_;
  Fd pipe_out_, pipe_in_; // the splice path's pipe: read end, write end
  bool segmenting_ = false;
  std::size_t segments_ = BATCH_BLOCKS; // the most this kernel takes in one send
  char buffer_[BATCH_BLOCKS * BLOCK_SIZE] = {};
};

// One datagram of exactly `length` bytes; false with errno set on failure.
bool send_datagram(int sock, const void* data, std::size_t length);
