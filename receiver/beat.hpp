// While wharf puts the copy in place, which on a slow disk may take long,
// its socket's mark alternates a few times a second: ferry then waits as
// long as wharf works, and not without end for a receiver that only wears
// the mark. Nothing is sent: wharf's socket never sends.
#pragma once

#include <pthread.h>

#include <atomic>

#include "progress.hpp"

class Beat {
public:
  // Starts beating on `sock`, in a thread that takes no signals; where no
  // thread can be started, none beats. `progress`, if given, shows the
  // sync once it has lasted a second.
  explicit Beat(int sock, Progress* progress = nullptr);
  Beat(const Beat&) = delete;
  Beat& operator=(const Beat&) = delete;
  // Stops within a few milliseconds, leaving the socket with wharf's mark.
  ~Beat();

private:
  static void* run(void* self);

  int sock_;
  Progress* progress_;
  pthread_t thread_{};
  bool running_ = false;
  std::atomic<bool> stop_{false};
};
