#include "pacing.hpp"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <thread>

std::size_t datagrams_that_fit(const QueueLevel& level, std::uint32_t charge) {
  const std::uint64_t usable = level.capacity - level.capacity / FREE_SHARE;
  if (level.used == 0 && level.capacity > 0)
    return std::max<std::size_t>(1, usable / charge);
  if (level.used >= usable)
    return 0;
  return static_cast<std::size_t>((usable - level.used) / charge);
}

bool StallWatch::stalled(std::uint32_t waiting, Clock::time_point now) {
  if (waiting < lowest_) {
    lowest_ = waiting;
    since_ = now;
    return false;
  }
  return now - since_ >= limit_;
}

Backoff::Backoff() {
  static const bool fine = ::prctl(PR_SET_TIMERSLACK, 1UL) == 0;
  (void)fine;
}

void Backoff::pause() {
  const timespec pause{0, nanoseconds_};
  ::nanosleep(&pause, nullptr);
  nanoseconds_ = std::min(nanoseconds_ * 3 / 2, 2'000'000L);
}

std::size_t Pacer::room() {
  if (blind_)
    return budget_ > 0 ? budget_ : blind_room();
  StallWatch watch(Clock::now(), limit_);
  Backoff backoff;
  for (;;) {
    QueueLevel& level = last_;
    switch (queue_.look(&level)) {
    case Lookup::unavailable:
      blind_ = true;
      return blind_room();
    case Lookup::absent:
      // The receiver has gone; the next send reports it.
      return 1;
    case Lookup::found:
      break;
    }
    if (level.replaced)
      return 0;
    const bool drained = level.waiting < waiting_at_look_;
    learn(level);
    budget_ = datagrams_that_fit(level, charge_);
    const std::size_t empty = datagrams_that_fit({0, level.capacity}, charge_);
    const std::size_t wanted = std::min(MIN_BURST, empty / MIN_BURST_SHARE);
    if (budget_ >= wanted && budget_ > 0)
      return budget_;
    budget_ = 0;
    if (watch.stalled(level.waiting, Clock::now()))
      return 0;
    if (drained)
      backoff.draining();
    if (waiting_ != nullptr)
      waiting_->still_waiting();
    backoff.pause();
  }
}

void Pacer::learn(const QueueLevel& level) {
  if (looked_ && level.hears_us && sent_since_look_ >= MIN_OBSERVED && level.used > used_at_look_) {
    const std::uint64_t seen = (level.used - used_at_look_) / sent_since_look_;
    if (seen >= BLOCK_SIZE && seen > most_seen_) {
      most_seen_ = static_cast<std::uint32_t>(seen);
      charge_ = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(CHARGE_PER_DATAGRAM, seen * CHARGE_MARGIN_PERCENT / 100));
    }
  }
  looked_ = true;
  used_at_look_ = level.used;
  waiting_at_look_ = level.waiting;
  sent_since_look_ = 0;
}

std::size_t Pacer::blind_room() {
  const Clock::time_point now = Clock::now();
  if (now < next_burst_)
    std::this_thread::sleep_until(next_burst_);
  next_burst_ = std::max(now, next_burst_) + BLIND_PERIOD;
  budget_ = BLIND_BURST;
  return budget_;
}
