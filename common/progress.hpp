// The status line of a long copy: on standard error, only where it is a
// terminal, once a copy or a wait has gone on for about a second, and
// redrawn at most a few times a second. It tells what the other side has
// taken, how fast and how long is left; a copy that has not moved for a
// second, as stalled; a wait, what it waits for. It is erased before
// anything else is written (status_line.hpp), so a terminal ends showing
// what a quiet copy shows, and pipes and files never see it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

struct StatusText {
  char text[96];
};

// "  12.0 MiB of 60.0 MiB  10.0 MiB/s  5 s left", from the bytes done, the
// total and the rate in bytes a second (the time left is left out while
// the rate is 0), in at most `room` columns: the rate goes first, then
// the time left, then the figures are cut.
StatusText progress_text(std::uint64_t done, std::uint64_t total, double bytes_per_second,
                         std::size_t room = sizeof(StatusText::text) - 1);
// The figures, if a copy has started (total > 0), and what is happening
// ("stalled for 3 s", "syncing to disk"), which is kept over the figures
// where both do not fit in `room`.
StatusText state_text(std::uint64_t done, std::uint64_t total, const char* state,
                      std::size_t room = sizeof(StatusText::text) - 1);

class Progress {
public:
  using Clock = std::chrono::steady_clock;
  // Shown only where standard error is a terminal.
  Progress();
  // The copy of `total` bytes starts now.
  void start(std::uint64_t total);
  // `done` bytes of the total have been taken.
  void update(std::uint64_t done) { update(done, Clock::now()); }
  void update(std::uint64_t done, Clock::time_point now);
  // All has been sent, and about `bytes` of it wait in the receiver's queue.
  void still_queued(std::uint64_t bytes, Clock::time_point now) {
    update(total_ - (bytes < total_ ? bytes : total_), now);
  }
  // A wait that began at `since` goes on; `what` says what for ("waiting
  // for wharf to take the name").
  void waiting(const char* what, Clock::time_point since) { waiting(what, since, Clock::now()); }
  void waiting(const char* what, Clock::time_point since, Clock::time_point now);
  // The whole copy is being synced to disk, since `since`.
  void syncing(Clock::time_point since) { waiting(nullptr, since); }

private:
  bool due(Clock::time_point now, bool first_of_its_kind);

  bool terminal_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  Clock::time_point start_{};
  Clock::time_point moved_{}; // when done_ last grew
  Clock::time_point next_{};
  const char* shown_what_ = nullptr; // the wait shown last, if any
  bool started_ = false;
  bool shown_ = false;
};
