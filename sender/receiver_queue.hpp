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
#include "transfer.hpp"

// What the kernel charges a receive queue for one queued 503-byte datagram
// is about 1.3 KiB on loopback; pacing assumes more, to stay on the safe side.
inline constexpr std::uint32_t CHARGE_PER_DATAGRAM = 2048;
inline constexpr std::chrono::seconds STALL_LIMIT{10};
// Room worth asking for once the queue is nearly full: one full batch.
inline constexpr std::size_t MIN_BURST = BATCH_BLOCKS;

struct QueueLevel {
  std::uint32_t used = 0;     // bytes charged to the queue (rmem_alloc): drops are judged on it
  std::uint32_t capacity = 0; // the socket's receive buffer (rcvbuf)
  std::uint32_t waiting = 0;  // bytes queued and not yet read: progress is judged on it
  bool hears_us = false;      // the socket is connected to this sender
};

// Datagrams that can be sent now without risking a drop. A quarter of the
// queue is held back: the kernel gives back receive memory lazily, in steps
// of up to a quarter of the buffer, so `used` may lag behind the reader.
std::size_t datagrams_that_fit(QueueLevel level);

using Clock = std::chrono::steady_clock;

// Whether the receiver is still reading while the sender waits for room.
// `used` can stand still for seconds while a slow reader works (the kernel
// gives its memory back in steps), so progress is judged by the bytes
// still waiting: any fall below the lowest seen is progress, and
// STALL_LIMIT without progress is a stall.
class StallWatch {
public:
  explicit StallWatch(Clock::time_point now) : since_(now) {}
  bool stalled(std::uint32_t waiting, Clock::time_point now);

private:
  std::uint32_t lowest_ = UINT32_MAX;
  Clock::time_point since_;
};

// Growing pauses while the receiver's queue is full: short at first, so a
// free path loses no time, then up to a couple of milliseconds, so a
// stalled receiver costs the sender almost no CPU.
class Backoff {
public:
  void pause();

private:
  long nanoseconds_ = 20'000;
};

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
  // Whether any socket holds the destination port, whoever it listens to:
  // a receiver connected to another sender is not found by look().
  bool port_taken();

private:
  Fd netlink_;
  sockaddr_in from_, to_;
};

// Hands out sending room, asking the kernel again whenever the last answer
// is used up and waiting while the queue is full.
class Pacer {
public:
  explicit Pacer(QueueGauge& queue) : queue_(queue) {}
  // Datagrams that may go now: at least 1, or 0 when the receiver has read
  // nothing for STALL_LIMIT. Unlimited when the kernel cannot be asked.
  // While the queue is nearly full it waits for room for a whole batch,
  // rather than asking again for every few datagrams.
  std::size_t room();
  void sent(std::size_t count) { budget_ -= count < budget_ ? count : budget_; }

private:
  QueueGauge& queue_;
  std::size_t budget_ = 0;
  bool blind_ = false;
};

// Whether the receiver took this sender's name datagram.
enum class Hearing { us, busy, gone, stalled, unknown };

// Waits quietly until the receiving socket is connected to this sender, or
// has read everything queued without connecting to anyone, as a plain
// receiver does (us); finds another sender's transfer there instead
// (busy), no receiver
// left on the port (gone), a receiver that reads nothing for STALL_LIMIT
// (stalled), or a kernel that cannot be asked (unknown).
Hearing await_hearing(ReceiverQueue& queue);
