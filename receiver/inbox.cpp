#include "inbox.hpp"

#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

void tune_for_batches(int sock) {
  const int on = 1;
  ::setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on);
  // Room for bursts while the file is written; the forced size needs
  // CAP_NET_ADMIN, the plain one is capped by net.core.rmem_max.
  const int queue = 16 << 20;
  if (::setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof queue) != 0)
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
}

namespace {

bool same_sender(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

std::size_t segment_size(msghdr& msg, std::size_t length) {
  for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
    if (cm->cmsg_level != SOL_UDP || cm->cmsg_type != UDP_GRO)
      continue;
    int size = 0;
    if (cm->cmsg_len >= CMSG_LEN(sizeof size)) {
      std::memcpy(&size, CMSG_DATA(cm), sizeof size);
    } else {
      std::uint16_t narrow = 0;
      std::memcpy(&narrow, CMSG_DATA(cm), sizeof narrow);
      size = narrow;
    }
    if (size > 0)
      return static_cast<std::size_t>(size);
  }
  return length;
}

} // namespace

bool Inbox::listen_only_to(const sockaddr_in& sender) {
  // Connecting makes the kernel drop other senders' datagrams from now on;
  // any already queued are skipped in receive().
  if (::connect(sock_, reinterpret_cast<const sockaddr*>(&sender), sizeof sender) != 0)
    return false;
  const timeval limit{SILENCE_LIMIT.count(), 0};
  if (::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
    return false;
  sender_ = sender;
  heard_ = true;
  return true;
}

bool Inbox::receive(char* buffer, std::size_t capacity, Arrival* arrival) {
  for (;;) {
    sockaddr_in from{};
    iovec iov{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(sock_, &msg, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return false;
    if (heard_ && !same_sender(from, sender_))
      continue;
    if (!heard_ && !listen_only_to(from))
      return false;
    arrival->length = static_cast<std::size_t>(got);
    arrival->segment = segment_size(msg, arrival->length);
    arrival->truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    return true;
  }
}
