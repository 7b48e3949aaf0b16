// An fdatasync that runs while wharf goes on receiving. Writeback only
// hands the data to the disk; on a disk with a write cache of its own (a
// virtual machine's, say) it is durable only after a flush, and one flush
// at the end would wait for the whole file. Flushes started as the file
// grows leave the final fsync only the tail. They run in the kernel's own
// worker through Linux AIO; where AIO is missing or refused, none is
// started and the final fsync does it all.
#pragma once

class BackgroundSync {
public:
  BackgroundSync() = default;
  BackgroundSync(const BackgroundSync&) = delete;
  BackgroundSync& operator=(const BackgroundSync&) = delete;
  // The kernel waits here for a flush still running.
  ~BackgroundSync();

  // Starts an fdatasync of `fd` unless one is still running; true if it
  // was started. Never waits.
  bool start(int fd);

private:
  bool running();

  unsigned long context_ = 0; // aio_context_t, whose header clashes with ours
  bool unavailable_ = false;
  bool started_ = false;
};
