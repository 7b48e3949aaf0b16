#include "background_sync.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "quiet_thread.hpp"

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
  running_ = start_quiet_thread(&thread_, flush, this, FLUSH_STACK);
  return running_;
}

bool BackgroundSync::finish() {
  collect(true);
  if (error_ == 0)
    return true;
  errno = error_;
  return false;
}
