#include "block_sender.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// How a kernel or path without segmentation offload, or without sendfile
// into a datagram socket, says so: at once, with nothing sent.
bool refusal(int error) {
  return error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP || error == EIO ||
         error == ENOSYS;
}

} // namespace

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
  int ends[2];
  // The pipe holds a whole batch, however its pages fall.
  if (path_ == Path::splice &&
      (::pipe2(ends, O_CLOEXEC) != 0 ||
       (pipe_out_ = Fd(ends[0]), pipe_in_ = Fd(ends[1]),
        ::fcntl(ends[0], F_SETPIPE_SZ, static_cast<int>(4 * BATCH_BLOCKS * BLOCK_SIZE)) < 0)))
    path_ = Path::copy;
}

// A refusal leaves what is left of the batch, from *done on, where the
// next way takes it: in the file, or, once it was in the pipe, in the
// buffer at its place in the batch (*in_buffer).
Sent BlockSender::splice(std::size_t length, std::size_t* done, bool* in_buffer) {
  use_segments_on_socket(true);
  if (!segmenting_) {
    errno = ENOPROTOOPT;
    return Sent::refused;
  }
  // First the whole batch into the pipe, so that a file that shrank is
  // caught before anything of the batch is sent.
  for (std::size_t held = 0; held < length;) {
    const ssize_t got = ::splice(file_, nullptr, pipe_in_.get(), nullptr, length - held, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return held == 0 ? Sent::refused : Sent::unreadable;
    if (got == 0)
      return Sent::shrank;
    held += static_cast<std::size_t>(got);
  }
  // Then one datagram on the socket, cut into blocks by the kernel. A short
  // one cannot be resumed in step: what went out ended in a short block.
  bool short_send = false;
  if (send_in_pieces(length, done, &segments_, [&](std::size_t, std::size_t n) {
        const ssize_t sent = ::splice(pipe_out_.get(), nullptr, sock_, nullptr, n, 0);
        short_send = sent > 0 && sent != static_cast<ssize_t>(n);
        return sent == static_cast<ssize_t>(n);
      }))
    return Sent::ok;
  if (short_send)
    return Sent::cut_short;
  const int error = errno;
  if (read_in(pipe_out_.get(), buffer_ + *done, length - *done) != Sent::ok)
    return Sent::unreadable;
  *in_buffer = true;
  errno = error;
  return Sent::refused;
}

Sent BlockSender::read_in(int from, char* into, std::size_t length) {
  for (std::size_t got_all = 0; got_all < length;) {
    const ssize_t got = ::read(from, into + got_all, length - got_all);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return Sent::unreadable;
    if (got == 0)
      return Sent::shrank;
    got_all += static_cast<std::size_t>(got);
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

Sent BlockSender::send_blocks(std::size_t count) {
  const std::size_t length = count * BLOCK_SIZE;
  std::size_t done = 0; // bytes of the batch already sent, a whole number of blocks
  bool in_buffer = false;
  if (path_ == Path::splice) {
    const Sent sent = splice(length, &done, &in_buffer);
    if (sent != Sent::refused || !refusal(errno))
      return sent;
    path_ = Path::copy;
  }
  use_segments_on_socket(false);
  if (!in_buffer) {
    const Sent read = read_in(file_, buffer_, length);
    if (read != Sent::ok)
      return read;
  }
  if (path_ == Path::copy && length - done > BLOCK_SIZE) {
    if (send_in_pieces(length, &done, &segments_, [&](std::size_t offset, std::size_t n) {
          return send_segmented(buffer_ + offset, n);
        }))
      return Sent::ok;
    if (!refusal(errno))
      return Sent::refused;
    path_ = Path::single;
  }
  for (; done < length; done += BLOCK_SIZE)
    if (!send_datagram(sock_, buffer_ + done, BLOCK_SIZE))
      return Sent::refused;
  return Sent::ok;
}

Sent BlockSender::send_final(std::size_t length) {
  use_segments_on_socket(false);
  const Sent read = read_in(file_, buffer_, length);
  if (read != Sent::ok)
    return read;
  if (!send_datagram(sock_, buffer_, length))
    return Sent::refused;
  return Sent::ok;
}
