#include "block_sender.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

bool send_datagram(int sock, const void* data, std::size_t length) {
  const ssize_t sent = ::send(sock, data, length, 0);
  if (sent == static_cast<ssize_t>(length))
    return true;
  if (sent >= 0)
    errno = EMSGSIZE;
  return false;
}

bool BlockSender::send_segmented(const char* blocks, std::size_t count) {
  iovec iov{const_cast<char*>(blocks), count * BLOCK_SIZE};
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
  return ::sendmsg(sock_, &msg, 0) == static_cast<ssize_t>(iov.iov_len);
}

bool BlockSender::send_blocks(const char* blocks, std::size_t count) {
  if (gso_ && count > 1) {
    if (send_segmented(blocks, count))
      return true;
    // A kernel or path without segmentation offload says so at once; from
    // then on every block goes in a call of its own.
    if (errno != EINVAL && errno != ENOPROTOOPT && errno != EOPNOTSUPP && errno != EIO)
      return false;
    gso_ = false;
  }
  for (std::size_t k = 0; k < count; ++k)
    if (!send_datagram(sock_, blocks + k * BLOCK_SIZE, BLOCK_SIZE))
      return false;
  return true;
}
