#include "handshake.hpp"

bool step_taken(const QueueLevel& level, Step step) {
  switch (step) {
  case Step::name_taken:
    // wharf connects to the sender whose name it takes; a plain receiver
    // never connects, and has read the name once nothing is left waiting.
    return level.hears_us || (!level.wharf && level.waiting == 0);
  case Step::copy_prepared:
    return level.hears_us ? level.ready : level.waiting == 0;
  case Step::blocks_read:
    return level.waiting == 0;
  case Step::in_place:
    return !level.hears_us || level.in_place;
  }
  return false;
}

namespace {

// What the status line says while `step` is awaited; nullptr: the copy
// is being synced to disk.
const char* awaited(Step step) {
  switch (step) {
  case Step::name_taken:
    return "waiting for wharf to take the name";
  case Step::copy_prepared:
    return "waiting for wharf to prepare the copy";
  case Step::blocks_read:
  case Step::in_place:
    break;
  }
  return nullptr;
}

// Why a wait for wharf to take the name ended without it.
WaitResult not_taken(const QueueLevel& level) {
  if (level.drops > 0)
    return WaitResult::flooded;
  return level.wharf && level.waiting == 0 ? WaitResult::ignored : WaitResult::stalled;
}

} // namespace

WaitResult await_step(QueueGauge& queue, Step step, Clock::duration limit, QueueLevel* last,
                      Progress* progress, std::uint32_t charge) {
  const Clock::time_point start = Clock::now();
  StallWatch watch(start, limit);
  Clock::time_point read_all{};   // when the queue was first seen empty: the name was read
  Clock::time_point beat = start; // when wharf's mark last changed
  std::uint8_t mark = 0;
  Backoff backoff;
  QueueLevel unused{};
  QueueLevel& level = last != nullptr ? *last : unused;
  for (;;) {
    switch (queue.look(&level)) {
    case Lookup::unavailable:
      return WaitResult::unknown;
    case Lookup::absent:
      // Before the name is taken, another sender's transfer may hold the
      // receiver, which then listens to that sender only.
      return step == Step::name_taken && queue.port_taken() ? WaitResult::busy : WaitResult::gone;
    case Lookup::found:
      break;
    }
    if (level.replaced)
      return WaitResult::replaced;
    if (step_taken(level, step))
      return WaitResult::taken;
    const Clock::time_point now = Clock::now();
    if (step == Step::in_place) {
      if (level.mark != mark) {
        mark = level.mark;
        beat = now;
      }
      if (now - beat >= limit)
        return WaitResult::stalled;
    } else if (step == Step::name_taken && level.wharf && level.waiting == 0) {
      if (read_all == Clock::time_point{})
        read_all = now;
      if (now - read_all >= IGNORED_AFTER)
        return not_taken(level);
    }
    if (step != Step::in_place && watch.stalled(level.waiting, now))
      return step == Step::name_taken ? not_taken(level) : WaitResult::stalled;
    if (progress != nullptr && step == Step::blocks_read)
      progress->still_queued(static_cast<std::uint64_t>(level.waiting / charge) * BLOCK_SIZE, now);
    else if (progress != nullptr)
      progress->waiting(awaited(step), start, now);
    backoff.pause();
  }
}
