#include "receiver_queue.hpp"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

ReceiverQueue::ReceiverQueue(const sockaddr_in& from, const sockaddr_in& to)
    : netlink_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)), from_(from),
      to_(to) {}

namespace {

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

DiagRequest udp_request(std::uint16_t flags) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = flags;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_UDP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return request;
}

bool send_request(int netlink, const DiagRequest& request) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return ::sendto(netlink, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                  sizeof kernel) == static_cast<ssize_t>(sizeof request);
}

// One exact lookup, not a dump: the kernel finds the socket in its hash
// table as for an arriving datagram (the "src" fields are the sender's).
bool request_lookup(int netlink, const sockaddr_in& from, const sockaddr_in& to) {
  DiagRequest request = udp_request(NLM_F_REQUEST);
  request.body.idiag_ext = 1U << (INET_DIAG_SKMEMINFO - 1);
  request.body.id.idiag_src[0] = from.sin_addr.s_addr;
  request.body.id.idiag_sport = from.sin_port;
  request.body.id.idiag_dst[0] = to.sin_addr.s_addr;
  request.body.id.idiag_dport = to.sin_port;
  return send_request(netlink, request);
}

// The memory figures and shutdown state of the socket described; false
// when it carries no memory figures.
bool read_attributes(const nlmsghdr* message, QueueLevel* level) {
  const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
  int length = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
  bool memory = false;
  for (auto* attr = reinterpret_cast<const rtattr*>(diag + 1); RTA_OK(attr, length);
       attr = RTA_NEXT(attr, length)) {
    if (attr->rta_type == INET_DIAG_SHUTDOWN && RTA_PAYLOAD(attr) >= 1) {
      // SEND_SHUTDOWN, as shutdown(SHUT_WR) sets it
      level->ready = (*static_cast<const std::uint8_t*>(RTA_DATA(attr)) & 2) != 0;
    } else if (attr->rta_type == INET_DIAG_SKMEMINFO &&
               RTA_PAYLOAD(attr) >= sizeof(std::uint32_t) * (SK_MEMINFO_RCVBUF + 1)) {
      std::uint32_t info[SK_MEMINFO_RCVBUF + 1];
      std::memcpy(info, RTA_DATA(attr), sizeof info);
      level->used = info[SK_MEMINFO_RMEM_ALLOC];
      level->capacity = info[SK_MEMINFO_RCVBUF];
      level->waiting = diag->idiag_rqueue;
      memory = true;
    }
  }
  return memory;
}

} // namespace

Lookup ReceiverQueue::look(QueueLevel* level) {
  if (!netlink_ || !request_lookup(netlink_.get(), from_, to_))
    return Lookup::unavailable;
  alignas(nlmsghdr) char buffer[1024];
  const ssize_t got = ::recv(netlink_.get(), buffer, sizeof buffer, 0);
  if (got <= 0)
    return Lookup::unavailable;
  const auto* message = reinterpret_cast<const nlmsghdr*>(buffer);
  if (!NLMSG_OK(message, static_cast<unsigned>(got)))
    return Lookup::unavailable;
  if (message->nlmsg_type == NLMSG_ERROR) {
    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
    return error->error == -ENOENT ? Lookup::absent : Lookup::unavailable;
  }
  if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY || !read_attributes(message, level))
    return Lookup::unavailable;
  // The answer describes the socket from its own side: its peer, if any,
  // is the "dst". An exact lookup finds only an unconnected socket or one
  // connected to this very sender.
  const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
  level->hears_us =
      diag->id.idiag_dport == from_.sin_port && diag->id.idiag_dst[0] == from_.sin_addr.s_addr;
  return Lookup::found;
}

bool ReceiverQueue::port_taken() {
  // A dump of the UDP sockets whose own port is the destination's.
  DiagRequest request = udp_request(NLM_F_REQUEST | NLM_F_DUMP);
  request.body.id.idiag_sport = to_.sin_port;
  if (!netlink_ || !send_request(netlink_.get(), request))
    return false;
  bool taken = false;
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const ssize_t got = ::recv(netlink_.get(), buffer, sizeof buffer, 0);
    if (got <= 0)
      return taken;
    auto left = static_cast<unsigned>(got);
    for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(m, left);
         m = NLMSG_NEXT(m, left)) {
      if (m->nlmsg_type == NLMSG_DONE || m->nlmsg_type == NLMSG_ERROR)
        return taken;
      taken = taken || m->nlmsg_type == SOCK_DIAG_BY_FAMILY;
    }
  }
}
