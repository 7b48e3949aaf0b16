#include "origin.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "transfer.hpp"

namespace {

// Binding to a port another socket holds is refused, so a few tries find
// an address whose port is free.
constexpr int TRIES = 8;

bool bind_to(int sock, const sockaddr_in& address) {
  return ::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// 127.x.y.z, z neither 0 nor 255.
bool random_loopback(in_addr* address) {
  unsigned char r[3];
  if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r))
    return false;
  address->s_addr =
      htonl(127U << 24 | unsigned{r[0]} << 16 | unsigned{r[1]} << 8 | (1U + r[2] % 254U));
  return true;
}

} // namespace

Failure send_from_own_address(int sock, unsigned mode, Fd* guard) {
  const int on = 1;
  const int mark = ferry_mark_for(mode);
  if (::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &mark, sizeof mark) != 0 ||
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
    return Failure::call("setsockopt");
  for (int i = 0; i < TRIES; ++i) {
    Fd held(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17));
    if (!held)
      return Failure::call("socket");
    const int guard_mark = FERRY_GUARD_ASKED;
    if (::setsockopt(held.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
        ::setsockopt(held.get(), SOL_SOCKET, SO_RCVBUF, &guard_mark, sizeof guard_mark) != 0)
      return Failure::call("setsockopt");
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof own;
    if (!bind_to(held.get(), own))
      return Failure::call("bind");
    if (::getsockname(held.get(), reinterpret_cast<sockaddr*>(&own), &length) != 0)
      return Failure::call("getsockname");
    if (!random_loopback(&own.sin_addr))
      return Failure::call("getrandom");
    bool bound = bind_to(sock, own);
    if (!bound && errno == EADDRNOTAVAIL) {
      // A loopback with only 127.0.0.1, or none at all: the route picks
      // the address, and the port is still held.
      own.sin_addr.s_addr = htonl(INADDR_ANY);
      bound = bind_to(sock, own);
    }
    if (bound) {
      *guard = std::move(held);
      return {};
    }
    if (errno != EADDRINUSE)
      return Failure::call("bind");
  }
  return Failure::call("bind");
}
