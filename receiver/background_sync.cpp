#include "background_sync.hpp"

#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

BackgroundSync::~BackgroundSync() {
  if (context_ != 0)
    ::syscall(SYS_io_destroy, context_);
}

bool BackgroundSync::running() {
  if (!started_)
    return false;
  io_event done{};
  timespec no_wait{};
  if (::syscall(SYS_io_getevents, context_, 1, 1, &done, &no_wait) == 1)
    started_ = false;
  return started_;
}

bool BackgroundSync::start(int fd) {
  const int error = errno;
  if (context_ == 0 && !unavailable_ && ::syscall(SYS_io_setup, 1, &context_) != 0) {
    context_ = 0;
    unavailable_ = true;
  }
  if (unavailable_ || running()) {
    errno = error;
    return false;
  }
  iocb request{};
  request.aio_fildes = static_cast<__u32>(fd);
  request.aio_lio_opcode = IOCB_CMD_FDSYNC;
  iocb* requests[] = {&request};
  // Kernels before 4.18 and filesystems without it refuse the command.
  started_ = ::syscall(SYS_io_submit, context_, 1, requests) == 1;
  unavailable_ = !started_;
  errno = error;
  return started_;
}
