#include "background_sync.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace {

// fdatasync needs next to no stack of ours.
constexpr std::size_t FLUSH_STACK = 64 << 10;

} // namespace

void* BackgroundSync::flush(void* self) {
  auto* sync = static_cast<BackgroundSync*>(self);
  sync->result_ = ::fdatasync(sync->fd_) == 0 ? 0 : errno;
  sync->done_.store(true, std::memory_order_release);
  return nullptr;
}

void BackgroundSync::collect(bool wait) {
  if (!running_ || (!wait && !done_.load(std::memory_order_acquire)))
    return;
  ::pthread_join(thread_, nullptr);
  running_ = false;
  if (result_ != 0 && error_ == 0)
    error_ = result_;
}

bool BackgroundSync::start(int fd) {
  collect(false);
  if (running_)
    return false;
  fd_ = fd;
  done_.store(false, std::memory_order_relaxed);
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setstacksize(&attributes, FLUSH_STACK);
  // Signals stay with the main thread, whose handlers and held sections
  // the clean-up relies on: the new thread starts with all of them blocked.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  running_ = ::pthread_create(&thread_, &attributes, flush, this) == 0;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ::pthread_attr_destroy(&attributes);
  return running_;
}

bool BackgroundSync::finish() {
  collect(true);
  if (error_ == 0)
    return true;
  errno = error_;
  return false;
}
