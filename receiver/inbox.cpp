#include "inbox.hpp"

#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "transfer.hpp"

void tune_for_batches(int sock) {
  const int on = 1;
  // Unchecked: without GRO (an older kernel) datagrams come one at a time, just as correct.
  (void)::setsockopt(sock, SOL_UDP, UDP_GRO, &on, sizeof on);
  // Room for bursts while the file is written; the forced size needs
  // CAP_NET_ADMIN, the plain one is capped by net.core.rmem_max.
  const int queue = 16 << 20;
  // Unchecked: a smaller queue stays lossless, as ferry sends only what it has room for.
  if (::setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof queue) != 0)
    (void)::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
}

namespace {

// How long one wait for a datagram lasts before the drop counter is read
// and the sender looked at again; silence_limit() is counted in these.
constexpr std::chrono::milliseconds TICK{100};
// Quiet this long, a transfer whose datagrams the kernel may have dropped
// before wharf chose its sender is taken to have lost them.
constexpr std::chrono::seconds QUIET_WITH_DROPS{1};

bool same_sender(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

struct Control {
  std::size_t segment = 0;
  std::uint32_t drops = 0;
  unsigned interface = 0;
  in_addr address{}; // the address the datagram was sent to
};

Control read_control(msghdr& msg) {
  Control c;
  for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm != nullptr; cm = CMSG_NXTHDR(&msg, cm)) {
    if (cm->cmsg_level == SOL_UDP && cm->cmsg_type == UDP_GRO) {
      int size = 0;
      if (cm->cmsg_len >= CMSG_LEN(sizeof size)) {
        std::memcpy(&size, CMSG_DATA(cm), sizeof size);
      } else {
        std::uint16_t narrow = 0;
        std::memcpy(&narrow, CMSG_DATA(cm), sizeof narrow);
        size = narrow;
      }
      c.segment = size > 0 ? static_cast<std::size_t>(size) : 0;
    } else if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&c.drops, CMSG_DATA(cm), sizeof c.drops);
    } else if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(cm), sizeof info);
      c.interface = static_cast<unsigned>(info.ipi_ifindex);
      c.address = info.ipi_addr;
    }
  }
  return c;
}

// The kernel's count of datagrams it dropped for this socket, right now.
std::uint32_t drop_count(int sock) {
  std::uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (::getsockopt(sock, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 ||
      length < sizeof(std::uint32_t) * (SK_MEMINFO_DROPS + 1))
    return 0;
  return info[SK_MEMINFO_DROPS];
}

} // namespace

Failure Inbox::watch() {
  // A sender on this machine always comes in by loopback.
  loopback_ = ::if_nametoindex("lo");
  if (loopback_ == 0)
    return Failure::call("if_nametoindex");
  const int on = 1;
  if (::setsockopt(sock_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0 ||
      ::setsockopt(sock_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
    return Failure::call("setsockopt");
  return {};
}

Failure Inbox::listen_only_to(const sockaddr_in& sender, SenderWatch* watch) {
  // Connecting makes the kernel drop other senders' datagrams from now on;
  // any already queued are skipped in receive().
  if (::connect(sock_, reinterpret_cast<const sockaddr*>(&sender), sizeof sender) != 0)
    return Failure::call("connect");
  const timeval tick{0, std::chrono::microseconds(TICK).count()};
  if (::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
    return Failure::call("setsockopt");
  sender_ = sender;
  watch_ = watch;
  drops_before_ = drop_count(sock_);
  heard_ = true;
  return {};
}

bool Inbox::drops_seen(std::uint32_t reported) {
  // Drops before the transfer began were nobody's datagrams of ours.
  if (!heard_ || reported <= drops_before_)
    return false;
  dropped_ = reported - drops_before_;
  errno = ENOBUFS;
  return true;
}

// Whether the watch says the sender is no longer the one chosen (errno
// ESRCH).
bool Inbox::sender_changed() {
  if (watch_ == nullptr || watch_->still_the_sender())
    return false;
  errno = ESRCH;
  return true;
}

bool Inbox::receive(char* buffer, std::size_t capacity, Received* received) {
  socklen_t length = sizeof local_;
  if (local_.sin_port == 0 &&
      ::getsockname(sock_, reinterpret_cast<sockaddr*>(&local_), &length) != 0) {
    failed_call_ = "getsockname";
    return false;
  }
  auto quiet = std::chrono::milliseconds(0);
  const auto silence = silence_limit();
  for (;;) {
    sockaddr_in from{};
    iovec iov{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(std::uint32_t)) +
                                  CMSG_SPACE(sizeof(in_pktinfo))];
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
    if (got < 0 && heard_ && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Datagrams dropped after the last one queued show only here.
      const std::uint32_t drops = drop_count(sock_);
      if (drops_seen(drops))
        return false;
      quiet += TICK;
      if (quiet >= QUIET_WITH_DROPS && drops > drops_at_name_) {
        dropped_ = drops - drops_at_name_;
        errno = ENOBUFS;
        return false;
      }
      if (sender_changed())
        return false;
      if (quiet < silence)
        continue;
      errno = EAGAIN;
    }
    if (got < 0)
      return false;
    const Control c = read_control(msg);
    // Others' datagrams, queued before wharf chose its sender, are set
    // aside before any drop is counted.
    if (heard_ && !same_sender(from, sender_))
      continue;
    if (drops_seen(c.drops))
      return false;
    // Before the transfer, a datagram from elsewhere neither starts it nor
    // ends the wait.
    if (!heard_ && c.interface != loopback_)
      continue;
    if (sender_changed())
      return false;
    if (!heard_)
      drops_at_name_ = c.drops;
    received->from = from;
    received->to = local_;
    received->to.sin_addr = c.address;
    received->length = static_cast<std::size_t>(got);
    received->segment = c.segment > 0 ? c.segment : received->length;
    received->truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    return true;
  }
}
