// The status line of a long copy: on standard error, only where it is a
// terminal, only once a copy has gone on for about a second, and redrawn
// at most a few times a second. It is erased before anything else is
// written (console.hpp), so a terminal ends showing what a quiet copy
// shows, and pipes and files never see it.
#pragma once

#include <chrono>
#include <cstdint>

struct StatusText {
  char text[96];
};

// "  12.0 MiB of 60.0 MiB  10.0 MiB/s  5 s left", from the bytes done, the
// total and the rate in bytes a second (the time left is left out while
// the rate is 0).
StatusText progress_text(std::uint64_t done, std::uint64_t total, double bytes_per_second);

class Progress {
public:
  using Clock = std::chrono::steady_clock;
  // Shown only where standard error is a terminal.
  Progress();
  // The copy of `total` bytes starts now.
  void start(std::uint64_t total);
  // `done` bytes of the total have gone.
  void update(std::uint64_t done) { update(done, Clock::now()); }
  void update(std::uint64_t done, Clock::time_point now);
  // The whole copy is being synced to disk, if the copy has gone on long
  // enough to show anything.
  void syncing();

private:
  bool shown_by_now(Clock::time_point now);

  bool terminal_;
  std::uint64_t total_ = 0;
  Clock::time_point start_{};
  Clock::time_point next_{};
};
