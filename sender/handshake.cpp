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

WaitResult await_step(QueueGauge& queue, Step step, Clock::duration limit) {
  StallWatch watch(Clock::now(), step == Step::in_place ? Clock::duration::max() : limit);
  Backoff backoff;
  for (;;) {
    QueueLevel level{};
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
    if (step_taken(level, step))
      return WaitResult::taken;
    if (watch.stalled(level.waiting, Clock::now()))
      return step == Step::name_taken && level.wharf && level.waiting == 0 ? WaitResult::ignored
                                                                           : WaitResult::stalled;
    backoff.pause();
  }
}
