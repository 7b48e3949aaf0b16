// How full the receiving socket's queue is, asked of the kernel, and the
// pacing built on it: with no acknowledgements in the protocol, the sender
// must never send more than the receiver's queue has room for, or the
// kernel drops datagrams and the copy is lost.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "fd.hpp"

// What the kernel charges a receive queue for one queued 503-byte datagram
// is about 1.3 KiB on loopback; pacing assumes more, to stay on the safe side.
inline constexpr std::uint32_t CHARGE_PER_DATAGRAM = 2048;
inline constexpr std::chrono::seconds STALL_LIMIT{10};
// Room worth asking for once the queue is nearly full: one full batch.
inline constexpr std::size_t MIN_BURST = 64;

struct QueueLevel {
  std::uint32_t used;     // bytes charged to the queue (rmem_alloc)
  std::uint32_t capacity; // the socket's receive buffer (rcvbuf)
};

// Datagrams that can be sent now without risking a drop. A quarter of the
// queue is held back: the kernel gives back receive memory lazily, in steps
// of up to a quarter of the buffer, so `used` may lag behind the reader.
std::size_t datagrams_that_fit(QueueLevel level);

enum class Lookup { found, absent, unavailable };

class QueueGauge {
public:
  virtual ~QueueGauge() = default;
  virtual Lookup look(QueueLevel* level) = 0;
};

// Asks NETLINK_SOCK_DIAG about the socket that receives what `from` sends
// to `to`: the kernel looks it up just as it would deliver a datagram, so
// the answer is about the very socket the transfer fills.
class ReceiverQueue final : public QueueGauge {
public:
  ReceiverQueue(const sockaddr_in& from, const sockaddr_in& to);
  Lookup look(QueueLevel* level) override;

private:
  Fd netlink_;
  sockaddr_in from_, to_;
};

// Hands out sending room, asking the kernel again whenever the last answer
// is used up and waiting while the queue is full.
class Pacer {
public:
  explicit Pacer(QueueGauge& queue) : queue_(queue) {}
  // Datagrams that may go now: at least 1, or 0 when the queue has made no
  // progress for STALL_LIMIT. Unlimited when the kernel cannot be asked.
  // While the queue is nearly full it waits for room for a whole batch,
  // rather than asking again for every few datagrams.
  std::size_t room();
  void sent(std::size_t count) { budget_ -= count < budget_ ? count : budget_; }

private:
  QueueGauge& queue_;
  std::size_t budget_ = 0;
  bool blind_ = false;
};
