// An fdatasync that runs while wharf goes on receiving. Writeback only
// hands the data to the disk; on a disk with a write cache of its own (a
// virtual machine's, say) it is durable only after a flush, and one flush
// at the end would wait for the whole file. Flushes started as the file
// grows leave the final fsync only the tail. Each runs in a thread of its
// own that takes no signals; where no thread can be started, none runs and
// the final fsync does it all.
#pragma once

#include <pthread.h>

#include <atomic>

class BackgroundSync {
public:
  BackgroundSync() = default;
  BackgroundSync(const BackgroundSync&) = delete;
  BackgroundSync& operator=(const BackgroundSync&) = delete;
  ~BackgroundSync() { finish(); }

  // Starts an fdatasync of `fd` unless one is still running; true if it
  // was started. Never waits.
  bool start(int fd);
  // Waits for the flush still running. False with errno set if any flush
  // failed: the error is reported once, to the flush that met it, so the
  // final fsync would not see it again.
  bool finish();

private:
  static void* flush(void* self);
  // Takes the result of the running flush, waiting for it or not.
  void collect(bool wait);

  pthread_t thread_{};
  bool running_ = false;
  int fd_ = -1;
  int result_ = 0;
  std::atomic<bool> done_{false};
  int error_ = 0;
};
