// ferry's side of the handshake with the receiver. wharf never sends, but
// the kernel shows its steps on its socket (sock_diag): it carries wharf's
// mark, connects to the sender whose name it takes, shuts down its sending
// side once the copy is prepared and its receiving side too once the copy
// is in place. A plain receiver shows only what it has read.
#pragma once

#include "pacing.hpp"
#include "progress.hpp"
#include "receiver_queue.hpp"

// The receiver's steps that ferry waits for, in transfer order.
enum class Step {
  name_taken,    // wharf listens to this sender; a plain receiver has read the name
  copy_prepared, // wharf has checked, created and reserved the copy; a plain
                 // receiver has read the size
  blocks_read,   // the receiver has read every datagram sent so far
  in_place,      // wharf has put the copy in place and on disk; nothing to wait
                 // for from a plain receiver
};

// How a wait for the receiver ended.
enum class WaitResult {
  taken,    // the step is done
  busy,     // another sender's transfer holds the receiver (name_taken only)
  ignored,  // wharf read the name and would not take this sender (name_taken only)
  flooded,  // wharf's queue overflowed before it took this sender's name (name_taken only)
  replaced, // another socket than the one first found holds the port
  gone,     // no receiver left for this sender
  stalled,  // the receiver took no step and read nothing for the stall limit; for
            // in_place: wharf showed no sign of work for it
  unknown,  // the kernel cannot be asked
};

// wharf reads a name and connects to its sender within microseconds, or
// the few milliseconds a look at the user database takes: a wharf that
// has read everything queued, this ferry's name included, and has not
// connected to it this long after, declined it.
inline constexpr std::chrono::seconds IGNORED_AFTER{2};

// Whether what the kernel shows of the receiver says `step` is done.
bool step_taken(const QueueLevel& level, Step step);

// Waits quietly, with a growing back-off, until the receiver has taken
// `step`, or says why not; `*last` is the receiver as last seen. A receiver
// that shows no progress for `limit` has stalled; wharf putting the copy in
// place is waited for as long as its mark keeps alternating, which it does
// while its disk catches up. `progress` (if any) says what is waited for,
// once the wait has lasted a second.
// While the blocks are read, `progress` shows the bytes taken: the total
// less what is still queued, at `charge` bytes a datagram.
WaitResult await_step(QueueGauge& queue, Step step, Clock::duration limit = stall_limit(),
                      QueueLevel* last = nullptr, Progress* progress = nullptr,
                      std::uint32_t charge = CHARGE_PER_DATAGRAM);
