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

#include <algorithm>
#include <cerrno>
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
  Sent splice(std::size_t length, std::size_t* done, bool* in_buffer);
  Sent read_in(int from, char* into, std::size_t length);
  bool send_segmented(const char* data, std::size_t length);
  void use_segments_on_socket(bool on);

  int sock_;
  int file_;
  Path path_;
  Fd pipe_out_, pipe_in_; // the splice path's pipe: read end, write end
  bool segmenting_ = false;
  std::size_t segments_ = BATCH_BLOCKS; // the most this kernel takes in one send
  char buffer_[BATCH_BLOCKS * BLOCK_SIZE] = {};
};

// UDP_MAX_SEGMENTS of kernels before it became 128.
inline constexpr std::size_t OLDER_KERNEL_SEGMENTS = 64;

// Sends bytes [*done, length) of a batch by `send(offset, n)`, each send one
// datagram the kernel cuts into blocks: in sends of at most *segments
// blocks, lowered for good to OLDER_KERNEL_SEGMENTS when the kernel refuses
// a longer one (EINVAL). *done follows every send that went out, so the
// next way can take the rest without a block lost or sent twice.
template <class Send>
bool send_in_pieces(std::size_t length, std::size_t* done, std::size_t* segments, Send&& send) {
  while (*done < length) {
    const std::size_t n = std::min(*segments * BLOCK_SIZE, length - *done);
    if (send(*done, n)) {
      *done += n;
      continue;
    }
    if (errno != EINVAL || n <= OLDER_KERNEL_SEGMENTS * BLOCK_SIZE)
      return false;
    *segments = OLDER_KERNEL_SEGMENTS;
  }
  return true;
}

// One datagram of exactly `length` bytes; false with errno set on failure.
bool send_datagram(int sock, const void* data, std::size_t length);
