#include "sock_diag.hpp"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

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

void read_attributes(const nlmsghdr* message, SocketView* view) {
  const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
  int length = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
  for (auto* attr = reinterpret_cast<const rtattr*>(diag + 1); RTA_OK(attr, length);
       attr = RTA_NEXT(attr, length)) {
    if (attr->rta_type == INET_DIAG_SHUTDOWN && RTA_PAYLOAD(attr) >= 1) {
      view->shutdown = *static_cast<const std::uint8_t*>(RTA_DATA(attr));
    } else if (attr->rta_type == INET_DIAG_TOS && RTA_PAYLOAD(attr) >= 1) {
      view->tos = *static_cast<const std::uint8_t*>(RTA_DATA(attr));
    } else if (attr->rta_type == INET_DIAG_SKMEMINFO &&
               RTA_PAYLOAD(attr) >= sizeof(std::uint32_t) * (SK_MEMINFO_DROPS + 1)) {
      std::uint32_t info[SK_MEMINFO_DROPS + 1];
      std::memcpy(info, RTA_DATA(attr), sizeof info);
      view->used = info[SK_MEMINFO_RMEM_ALLOC];
      view->capacity = info[SK_MEMINFO_RCVBUF];
      view->drops = info[SK_MEMINFO_DROPS];
    }
  }
  view->uid = diag->idiag_uid;
  view->cookie =
      static_cast<std::uint64_t>(diag->id.idiag_cookie[1]) << 32 | diag->id.idiag_cookie[0];
  view->waiting = diag->idiag_rqueue;
  // The answer describes the socket from its own side: its peer is the "dst".
  view->peer.sin_family = AF_INET;
  view->peer.sin_addr.s_addr = diag->id.idiag_dst[0];
  view->peer.sin_port = diag->id.idiag_dport;
}

} // namespace

SockDiag::SockDiag()
    : netlink_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

Lookup SockDiag::find(const sockaddr_in& from, const sockaddr_in& to, SocketView* view) {
  // One exact lookup, not a dump: the "src" fields are the sender's.
  DiagRequest request = udp_request(NLM_F_REQUEST);
  request.body.idiag_ext = 1U << (INET_DIAG_SKMEMINFO - 1) | 1U << (INET_DIAG_TOS - 1);
  request.body.id.idiag_src[0] = from.sin_addr.s_addr;
  request.body.id.idiag_sport = from.sin_port;
  request.body.id.idiag_dst[0] = to.sin_addr.s_addr;
  request.body.id.idiag_dport = to.sin_port;
  if (!netlink_ || !send_request(netlink_.get(), request))
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
  if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY)
    return Lookup::unavailable;
  *view = SocketView{};
  read_attributes(message, view);
  return Lookup::found;
}

bool SockDiag::other_socket(std::uint16_t port, std::uint16_t peer_port, std::uint64_t except,
                            std::uint32_t* owner) {
  // A dump that the kernel filters by both ports.
  DiagRequest request = udp_request(NLM_F_REQUEST | NLM_F_DUMP);
  request.body.id.idiag_sport = port;
  request.body.id.idiag_dport = peer_port;
  if (!netlink_ || !send_request(netlink_.get(), request))
    return false;
  bool found = false;
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const ssize_t got = ::recv(netlink_.get(), buffer, sizeof buffer, 0);
    if (got <= 0)
      return found;
    auto left = static_cast<unsigned>(got);
    for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(m, left);
         m = NLMSG_NEXT(m, left)) {
      if (m->nlmsg_type == NLMSG_DONE || m->nlmsg_type == NLMSG_ERROR)
        return found;
      if (m->nlmsg_type != SOCK_DIAG_BY_FAMILY || found)
        continue;
      SocketView view;
      read_attributes(m, &view);
      if (view.cookie == except)
        continue;
      found = true;
      if (owner != nullptr)
        *owner = view.uid;
    }
  }
}
