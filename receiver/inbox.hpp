// Where wharf's datagrams come in. Until a sender is chosen, datagrams from
// senders on this machine are awaited without end; once wharf listens only
// to one, only that sender is heard and a silence of silence_limit() ends the
// wait. Datagrams the kernel had to drop for want of queue room from then
// on are counted and reported at once: a transfer with one missing can
// only fail.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "failure.hpp"
#include "wait_limit.hpp"

inline constexpr std::chrono::seconds SILENCE_LIMIT{10};
// SILENCE_LIMIT, or a test's shorter one (wait_limit.hpp).
inline std::chrono::seconds silence_limit() {
  return wait_limit(SILENCE_LIMIT);
}

// What one receive brought: one datagram, or a coalesced batch.
struct Received {
  std::size_t length;  // bytes in the buffer
  std::size_t segment; // each datagram's length in a coalesced batch
  bool truncated;      // larger than the buffer
  sockaddr_in from;    // the sender
  sockaddr_in to;      // the address and port it was sent to
};

// What the inbox asks, once it hears one sender, at each arrival and each
// tick of silence: whether that sender is still the one it chose.
class SenderWatch {
public:
  virtual bool still_the_sender() = 0;

protected:
  ~SenderWatch() = default;
};

// Asks for coalesced receives (UDP_GRO) and a large receive queue, where
// the kernel allows them; without them the transfer still works, slower.
void tune_for_batches(int sock);

class Inbox {
public:
  explicit Inbox(int sock) : sock_(sock) {}
  // Asks the kernel to tell, with each datagram, the drop count and the
  // interface and address it came in by: every filter here rests on them.
  // Datagrams queued before carry none of them, and are ignored: call it
  // before the socket is bound.
  Failure watch();
  // From now on hears only `sender`, asking `watch` whether it still is
  // the sender, and counts the kernel's drops from here: datagrams others
  // sent, queued or dropped before, are not this transfer's. Drops between
  // the name's arrival and now may be, and are named once the transfer
  // has gone quiet for a second.
  Failure listen_only_to(const sockaddr_in& sender, SenderWatch* watch = nullptr);
  // False with errno set: EAGAIN when the sender has gone silent, ENOBUFS
  // when the kernel has dropped datagrams (dropped() says how many), ESRCH
  // when the watch says the sender is no longer the one chosen, else the
  // error of the call that failed_call() names.
  bool receive(char* buffer, std::size_t capacity, Received* received);
  const char* failed_call() const { return failed_call_; }
  std::uint32_t dropped() const { return dropped_; }

private:
  bool drops_seen(std::uint32_t reported);
  bool sender_changed();
  int sock_;
  unsigned loopback_ = 0;
  sockaddr_in local_{};
  bool heard_ = false;
  sockaddr_in sender_{};
  SenderWatch* watch_ = nullptr;
  std::uint32_t drops_at_name_ = 0; // as the last datagram returned came, before a sender
  std::uint32_t drops_before_ = 0;
  std::uint32_t dropped_ = 0;
  const char* failed_call_ = "recvfrom()";
};
