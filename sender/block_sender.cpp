#include "block_sender.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// How a kernel or path without segmentation offload, or without splicing
// into a datagram socket, says so: at once, sending nothing.
bool refusal(int error) {
  return error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP || error == EIO ||
         error == ENOSYS;
}

} // namespace

bool BlockSender::datagram_pending() const {
  // On loopback a datagram sent leaves the socket's send queue at once:
  // what is left there is a datagram still being put together.
  int queued = 0;
  return ::ioctl(sock_, SIOCOUTQ, &queued) == 0 && queued > 0;
}

bool send_datagram(int sock, const void* data, std::size_t length) {
  const ssize_t sent = ::send(sock, data, length, 0);
  if (sent == static_cast<ssize_t>(length))
    return true;
  if (sent >= 0)
    errno = EMSGSIZE;
  return false;
}

void BlockSender::use_segments_on_socket(bool on) {
  if (segmenting_ == on)
    return;
  const int segment = on ? static_cast<int>(BLOCK_SIZE) : 0;
  if (::setsockopt(sock_, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) == 0 || !on)
    segmenting_ = on;
}

BlockSender::BlockSender(int sock, int file, Path first) : sock_(sock), file_(file), path_(first) {
  const off_t start = ::lseek(file_, 0, SEEK_CUR);
  offset_ = start > 0 ? static_cast<std::uint64_t>(start) : 0;
  int ends[2];
  // The pipe holds a whole batch, however its pages fall.
  if (path_ == Path::splice &&
      (::pipe2(ends, O_CLOEXEC) != 0 ||
       (pipe_out_ = Fd(ends[0]), pipe_in_ = Fd(ends[1]),
        ::fcntl(ends[0], F_SETPIPE_SZ, static_cast<int>(4 * sizeof buffer_)) < 0)))
    path_ = Path::copy;
}

Sent BlockSender::send_blocks(std::size_t count) {
  if (path_ == Path::splice && count <= accepted_) {
    const Sent sent = splice_batch(count * BLOCK_SIZE);
    if (sent != Sent::refused || !refusal(errno))
      return sent;
    path_ = Path::copy;
  }
  return copy_batch(count);
}

// One batch of a size the kernel has carried, whole or not at all: first
// into the pipe, so that a file that shrank is caught before anything of
// it is sent, then into the socket in one send. A send that moves less
// than the batch counts as refused (some kernels report a short count
// while sending nothing), and the pipe is drained so that no stale byte
// can reach a later datagram; the batch is then sent again from the file.
Sent BlockSender::splice_batch(std::size_t length) {
  use_segments_on_socket(true);
  if (!segmenting_) {
    errno = ENOPROTOOPT;
    return Sent::refused;
  }
  auto at = static_cast<loff_t>(offset_);
  std::size_t held = 0;
  Sent result = Sent::ok;
  while (held < length && result == Sent::ok) {
    const ssize_t got = ::splice(file_, &at, pipe_in_.get(), nullptr, length - held, 0);
    if (got > 0)
      held += static_cast<std::size_t>(got);
    else if (got == 0)
      result = Sent::shrank;
    else if (errno != EINTR)
      result = held == 0 ? Sent::refused : Sent::unreadable;
  }
  if (result == Sent::ok) {
    std::size_t sent = 0;
    ssize_t n = 0;
    for (;;) {
      n = ::splice(pipe_out_.get(), nullptr, sock_, nullptr, length - sent, 0);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (n < 0 && errno == EINTR)
        continue;
      // A signal between the pieces of the batch ends the splice early,
      // with the pieces sent so far held in the socket for the rest of the
      // datagram: the rest, still in the pipe, completes it.
      if (sent == length || n <= 0 || !datagram_pending())
        break;
    }
    if (sent == length) {
      offset_ += length;
      return Sent::ok;
    }
    result = Sent::refused;
    if (n >= 0 || sent > 0)
      errno = EINVAL;
  }
  const int error = errno;
  char drain[4096];
  for (std::size_t left = 0; ::ioctl(pipe_out_.get(), FIONREAD, &left) == 0 && left > 0;)
    if (::read(pipe_out_.get(), drain, std::min(left, sizeof drain)) <= 0)
      break;
  errno = error;
  return result;
}

// A batch read into the buffer, then sent with segmented sendmsg in sends
// of as many blocks as the kernel takes, or one block a send where it
// takes none; each size that goes out whole is remembered for splicing.
Sent BlockSender::copy_batch(std::size_t count) {
  std::uint64_t at = offset_;
  const Sent read = read_at(file_, &at, buffer_, count * BLOCK_SIZE);
  if (read != Sent::ok)
    return read;
  use_segments_on_socket(false);
  std::size_t done = 0;
  if (path_ != Path::single && count > 1) {
    const bool all =
        send_in_pieces(count, &done, &segments_, [&](std::size_t first, std::size_t n) {
          if (!send_segmented(buffer_ + first * BLOCK_SIZE, n * BLOCK_SIZE))
            return false;
          accepted_ = std::max(accepted_, n);
          return true;
        });
    if (!all && !refusal(errno))
      return Sent::refused;
    if (!all)
      path_ = Path::single;
  }
  for (; done < count; ++done)
    if (!send_datagram(sock_, buffer_ + done * BLOCK_SIZE, BLOCK_SIZE))
      return Sent::refused;
  offset_ = at;
  return Sent::ok;
}

Sent BlockSender::read_at(int from, std::uint64_t* offset, char* into, std::size_t length) {
  for (std::size_t got_all = 0; got_all < length;) {
    const ssize_t got =
        ::pread(from, into + got_all, length - got_all, static_cast<off_t>(*offset));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return Sent::unreadable;
    if (got == 0)
      return Sent::shrank;
    got_all += static_cast<std::size_t>(got);
    *offset += static_cast<std::uint64_t>(got);
  }
  return Sent::ok;
}

bool BlockSender::send_segmented(const char* data, std::size_t length) {
  iovec iov{const_cast<char*>(data), length};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* cm = CMSG_FIRSTHDR(&msg);
  cm->cmsg_level = SOL_UDP;
  cm->cmsg_type = UDP_SEGMENT;
  cm->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
  const std::uint16_t segment = BLOCK_SIZE;
  std::memcpy(CMSG_DATA(cm), &segment, sizeof segment);
  return ::sendmsg(sock_, &msg, 0) == static_cast<ssize_t>(length);
}

Sent BlockSender::send_final(std::size_t length) {
  use_segments_on_socket(false);
  const Sent read = read_at(file_, &offset_, buffer_, length);
  if (read != Sent::ok)
    return read;
  if (!send_datagram(sock_, buffer_, length))
    return Sent::refused;
  return Sent::ok;
}
