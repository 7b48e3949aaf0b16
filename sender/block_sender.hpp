// Sending the file's contents: the full blocks, many per system call, and
// then the final datagram. Three ways to send full blocks, best first:
//   splice - the file's pages spliced into a pipe, and from there into the
//            socket, with UDP segmentation set on the socket: the bytes
//            never pass through ferry's memory;
//   copy   - read into a buffer, then one sendmsg() with a UDP_SEGMENT
//            control message;
//   single - read, then one send() per block.
// How many segments one send may carry differs between kernels (128 on
// current ones, 64 on older ones), and only a segmented sendmsg answers
// that without ambiguity: it sends the whole of a batch or fails with
// EINVAL. So a batch of a size no send has carried yet is copied, and
// splicing is used only for sizes the kernel has accepted. A way the
// kernel refuses is left for the next, once and for good. Whichever is
// used, every receiving socket sees the same separate 503-byte datagrams.
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
};

// UDP_MAX_SEGMENTS of kernels before it became 128.
inline constexpr std::size_t OLDER_KERNEL_SEGMENTS = 64;
// The most whole blocks one UDP send can hold at all (65,507 bytes).
inline constexpr std::size_t MOST_BLOCKS_A_SEND = 65507 / BLOCK_SIZE;

class BlockSender {
public:
  // Sends `file` from where it stands over the connected `sock`.
  BlockSender(int sock, int file, Path first = Path::splice);
  BlockSender(const BlockSender&) = delete;
  BlockSender& operator=(const BlockSender&) = delete;

  // The most blocks worth handing over in one batch.
  std::size_t batch_blocks() const { return std::min(BATCH_BLOCKS, segments_); }
  // The next `count` (at most MOST_BLOCKS_A_SEND) blocks, each a datagram.
  Sent send_blocks(std::size_t count);
  // The next `length` bytes as one plain datagram, zero-length or not.
  Sent send_final(std::size_t length);
  Path path() const { return path_; }

private:
  Sent splice_batch(std::size_t length);
  Sent copy_batch(std::size_t count);
  Sent read_at(int from, std::uint64_t* offset, char* into, std::size_t length);
  bool send_segmented(const char* data, std::size_t length);
  void use_segments_on_socket(bool on);
  // Whether the socket holds the first pieces of a datagram.
  bool datagram_pending() const;

  int sock_;
  int file_;
  std::uint64_t offset_ = 0; // where the next block starts in the file
  Path path_;
  Fd pipe_out_, pipe_in_; // the splice path's pipe: read end, write end
  bool segmenting_ = false;
  std::size_t accepted_ = 0;                  // the most segments one send has carried
  std::size_t segments_ = MOST_BLOCKS_A_SEND; // the most to try in one send
  char buffer_[MOST_BLOCKS_A_SEND * BLOCK_SIZE] = {};
};

// Sends blocks [*done, count) of a batch by `send(first, n)`, each send one
// datagram the kernel cuts into n blocks and either sends whole or refuses:
// in sends of at most *segments blocks, lowered for good to
// OLDER_KERNEL_SEGMENTS when the kernel refuses a longer one (EINVAL).
// *done follows every send that went out, so the next way can take the
// rest without a block lost or sent twice.
template <class Send>
bool send_in_pieces(std::size_t count, std::size_t* done, std::size_t* segments, Send&& send) {
  while (*done < count) {
    const std::size_t n = std::min(*segments, count - *done);
    if (send(*done, n)) {
      *done += n;
      continue;
    }
    if (errno != EINVAL || n <= OLDER_KERNEL_SEGMENTS)
      return false;
    *segments = OLDER_KERNEL_SEGMENTS;
  }
  return true;
}

// One datagram of exactly `length` bytes; false with errno set on failure.
bool send_datagram(int sock, const void* data, std::size_t length);
