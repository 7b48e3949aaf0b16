// Sole owner of a file descriptor: closed once, when the owner goes.
#pragma once

#include <unistd.h>

#include <utility>

class Fd {
public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and reports the result, for callers that must know.
  int close() { return ::close(std::exchange(fd_, -1)); }
  void reset() {
    if (fd_ >= 0)
      ::close(std::exchange(fd_, -1));
  }

private:
  int fd_ = -1;
};
