// Pacing ferry on the receiver's queue: with no acknowledgements in the
// protocol, ferry must never send more than the queue has room for, or the
// kernel drops datagrams and the copy is lost.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "receiver_queue.hpp"
#include "transfer.hpp"
#include "wait_limit.hpp"

// What the kernel charges a receive queue for one queued 503-byte datagram
// depends on the receiver: measured, about 1.3 KiB each where the datagrams
// are queued one by one, 510 to 520 bytes where wharf takes a batch
// coalesced (UDP_GRO). Pacing starts from more than either, the next power
// of two, and learns the real charge from wharf's queue (Pacer): paced at
// 2048 throughout, an ordinary user's 416 KiB queue slept and woke
// thousands of times a GiB and took 1.4 times root's time.
inline constexpr std::uint32_t CHARGE_PER_DATAGRAM = 2048;
// The learned charge is raised by a quarter, and an eighth of the queue is
// left free, so that a charge a little higher than any seen still fits:
// the charges seen span 510 to 520 bytes, 2 %, and the margin is over ten
// times that spread.
inline constexpr std::uint32_t CHARGE_MARGIN_PERCENT = 125;
inline constexpr std::uint32_t FREE_SHARE = 8;
// Datagrams sent between two looks, at the least, for the rise in the
// queue's charge to say what one of them costs.
inline constexpr std::size_t MIN_OBSERVED = BATCH_BLOCKS / 2;
inline constexpr std::chrono::seconds STALL_LIMIT{10};
// STALL_LIMIT, or a test's shorter one (wait_limit.hpp).
inline std::chrono::seconds stall_limit() {
  return wait_limit(STALL_LIMIT);
}
// Room worth asking for once the queue is nearly full: one full batch, or
// an eighth of what the queue holds when empty, if less. An ordinary
// user's queue (416 KiB) holds under five batches and drains in a fraction
// of a millisecond: waiting there for a whole batch of room lets it run dry.
// Measured in runs taking turns, the eighth (with the short pauses of
// Backoff) brought the user's copies within 0.98-1.13x of root's, against
// 1.06-1.24x when waiting for a whole batch.
inline constexpr std::size_t MIN_BURST = BATCH_BLOCKS;
inline constexpr std::size_t MIN_BURST_SHARE = 8;

// Datagrams that can be sent now without risking a drop, at `charge` bytes
// each. The kernel drops a datagram only when the queue's charge is over
// its capacity as it arrives, and so takes one into an empty queue however
// small it is.
std::size_t datagrams_that_fit(const QueueLevel& level, std::uint32_t charge = CHARGE_PER_DATAGRAM);

using Clock = std::chrono::steady_clock;

// Whether the receiver is still reading while the sender waits for it.
// `used` can stand still for seconds while a slow reader works (the kernel
// gives its memory back in steps), so progress is judged by what is still
// waiting: any fall below the lowest seen is progress, and `limit` (by
// default stall_limit()) without progress is a stall.
class StallWatch {
public:
  explicit StallWatch(Clock::time_point now, Clock::duration limit = stall_limit())
      : since_(now), limit_(limit) {}
  bool stalled(std::uint32_t waiting, Clock::time_point now);

private:
  std::uint32_t lowest_ = UINT32_MAX;
  Clock::time_point since_;
  Clock::duration limit_;
};

// Growing pauses while waiting on the receiver: short at first, so a free
// path loses no time, then up to a couple of milliseconds, so a stalled
// receiver costs the sender almost no CPU. While the receiver is seen
// draining, the pauses stay short: a small queue empties in less time
// than a grown pause. The process's timer slack is made as fine as the
// kernel allows, or each pause would overshoot by its default 50 us.
class Backoff {
public:
  Backoff();
  void pause();
  // The receiver read something since the last look.
  void draining() { nanoseconds_ = FIRST; }

private:
  static constexpr long FIRST = 20'000;
  long nanoseconds_ = FIRST;
};

// Where the kernel cannot be asked (sock_diag refused by a container's
// seccomp profile, say), ferry cannot see the queue and sends BLIND_BURST
// datagrams each BLIND_PERIOD: 50,000 datagrams a second (25 MB/s), which
// leaves a plain reader on the smallest default queue (208 KiB, about 160
// queued datagrams) 3 ms to fall behind before anything is lost. Measured:
// 100 MiB reached a plain reader on default buffers intact in 6 runs of 6;
// at twice the rate, 3 of 6 lost datagrams to the reader's scheduling gaps.
inline constexpr std::size_t BLIND_BURST = 32;
inline constexpr std::chrono::microseconds BLIND_PERIOD{640};

// Told each time the pacer has looked at the queue and must wait on.
class WaitingForRoom {
public:
  virtual void still_waiting() = 0;

protected:
  ~WaitingForRoom() = default;
};

// Hands out sending room, asking the kernel before every batch and waiting
// while the queue is full. A look costs about 3 us (a netlink round trip,
// whatever it asks for: some 50 ms of CPU a GiB), and one before
// each batch means that a socket that replaced the receiver gets none of
// the file.
//
// It learns what wharf's queue is charged for each datagram: between two
// looks the queue's charge (rmem_alloc) rises by exactly what arrived, and
// falls only when the kernel gives back what was read, in steps; so the
// rise over the datagrams sent in between is at most the real charge, and
// exactly it whenever nothing was given back. The largest such figure, if
// at least a datagram's own 503 bytes, plus CHARGE_MARGIN_PERCENT, is the
// charge paced on. It is learned only from wharf (a socket connected to
// this sender), which coalesces each batch; a plain receiver is paced at
// CHARGE_PER_DATAGRAM.
class Pacer {
public:
  explicit Pacer(QueueGauge& queue, WaitingForRoom* waiting = nullptr,
                 Clock::duration limit = stall_limit())
      : queue_(queue), waiting_(waiting), limit_(limit) {}
  // Datagrams that may go now: at least 1, or 0 when the receiver has read
  // nothing for `limit` or another socket has replaced it (replaced()).
  // While the queue is nearly full it waits for room for a whole batch,
  // rather than asking again for every few datagrams. Where the kernel
  // cannot be asked, BLIND_BURST once each BLIND_PERIOD.
  std::size_t room();
  // The receiver as last seen, and whether another socket holds its port.
  const QueueLevel& last() const { return last_; }
  bool replaced() const { return last_.replaced; }
  void sent(std::size_t count) {
    budget_ -= count < budget_ ? count : budget_;
    sent_since_look_ += count;
  }
  // Bytes per datagram that pacing assumes now.
  std::uint32_t charge() const { return charge_; }
  // About how many of the datagrams sent were still queued at the last
  // look, by the charge seen for each.
  std::size_t queued() const { return last_.waiting / seen_charge(); }
  // What one datagram was seen to cost the queue, without the margin.
  std::uint32_t seen_charge() const { return most_seen_ > 0 ? most_seen_ : charge_; }

private:
  std::size_t blind_room();
  void learn(const QueueLevel& level);

  QueueGauge& queue_;
  WaitingForRoom* waiting_;
  Clock::duration limit_;
  QueueLevel last_{};
  std::size_t budget_ = 0;
  bool blind_ = false;
  Clock::time_point next_burst_{};
  bool looked_ = false;
  std::uint32_t used_at_look_ = 0;
  std::uint32_t waiting_at_look_ = UINT32_MAX;
  std::size_t sent_since_look_ = 0;
  std::uint32_t charge_ = CHARGE_PER_DATAGRAM;
  std::uint32_t most_seen_ = 0;
};
