// Where wharf's datagrams come in. The first one from a sender on this
// machine is awaited without end; it fixes the sender, and from then on
// only that sender is heard and a silence of SILENCE_LIMIT ends the wait.
// Datagrams the kernel had to drop for want of queue room are counted and
// reported at once: a transfer with one missing can only fail.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "failure.hpp"

inline constexpr std::chrono::seconds SILENCE_LIMIT{10};

// What one receive brought: one datagram, or a coalesced batch.
struct Received {
  std::size_t length;  // bytes in the buffer
  std::size_t segment; // each datagram's length in a coalesced batch
  bool truncated;      // larger than the buffer
};

// Asks for coalesced receives (UDP_GRO) and a large receive queue, where
// the kernel allows them; without them the transfer still works, slower.
void tune_for_batches(int sock);

class Inbox {
public:
  explicit Inbox(int sock) : sock_(sock) {}
  // Asks the kernel to tell, with each datagram, the drop count and the
  // interface it came in by: every filter here rests on them. Datagrams
  // queued before carry neither, and are ignored: call it before the
  // socket is bound.
  Failure watch();
  // False with errno set: EAGAIN when the sender has gone silent, ENOBUFS
  // when the kernel has dropped datagrams (dropped() says how many), else
  // the error of the call that failed_call() names.
  bool receive(char* buffer, std::size_t capacity, Received* received);
  const char* failed_call() const { return failed_call_; }
  std::uint32_t dropped() const { return dropped_; }
  // Tells the sender, through the kernel's view of this socket, that the
  // copy is prepared: wharf never sends, so it shuts down its sending
  // side, which ferry sees; receiving goes on. False with errno set.
  bool say_ready();

private:
  bool listen_only_to(const sockaddr_in& sender, std::uint32_t drops_so_far);
  bool drops_seen(std::uint32_t reported);
  int sock_;
  unsigned loopback_ = 0;
  bool heard_ = false;
  sockaddr_in sender_{};
  std::uint32_t drops_before_ = 0;
  std::uint32_t dropped_ = 0;
  const char* failed_call_ = "recvfrom()";
};
