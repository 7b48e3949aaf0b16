// What the kernel says about one UDP socket on this machine, asked through
// NETLINK_SOCK_DIAG. The protocol has no replies, so this is how the two
// programs see each other: ferry looks at wharf's socket (is it there,
// whose is it, how full, which step has it taken), and wharf at its
// sender's (whose is it, is it still the same socket).
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "fd.hpp"

struct SocketView {
  std::uint32_t uid = 0;      // the socket's owner
  std::uint64_t cookie = 0;   // the kernel's name for this very socket
  sockaddr_in peer{};         // where it is connected; all zero when it is not
  std::uint8_t shutdown = 0;  // bit 1: receiving side shut down, bit 2: sending side
  std::uint8_t tos = 0;       // IP_TOS, which a socket that never sends may use as a mark
  std::uint32_t used = 0;     // bytes charged to its receive queue (rmem_alloc)
  std::uint32_t capacity = 0; // its receive buffer (rcvbuf)
  std::uint32_t waiting = 0;  // charge of the datagrams queued and not yet read
  std::uint32_t drops = 0;    // datagrams the kernel dropped for want of room
};

enum class Lookup { found, absent, unavailable };

class SockDiag {
public:
  SockDiag();
  // The socket that would receive a datagram sent from `from` to `to`: the
  // kernel looks it up just as it would deliver one, so an unconnected
  // socket on `to`, or one connected to `from`, is found. unavailable
  // where the kernel cannot be asked (a container's seccomp profile, say).
  Lookup find(const sockaddr_in& from, const sockaddr_in& to, SocketView* view);
  // Whether any UDP socket is bound to `port` (network byte order), whoever
  // it is connected to.
  bool port_bound(std::uint16_t port) { return other_socket(port, 0, 0, nullptr); }
  // Whether there is a UDP socket, other than the one `except` names,
  // whose own port is `port` (network byte order; 0: any) and whose peer's
  // port is `peer_port` (0: any, connected or not); *owner is its user.
  bool other_socket(std::uint16_t port, std::uint16_t peer_port, std::uint64_t except,
                    std::uint32_t* owner);

private:
  Fd netlink_;
};
