#include "handshake.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include "transfer.hpp"

Failure wear_mark(int sock) {
  const int mark = WHARF_MARK;
  return called("setsockopt", ::setsockopt(sock, IPPROTO_IP, IP_TOS, &mark, sizeof mark) == 0);
}

bool say_ready(int sock) {
  return ::shutdown(sock, SHUT_WR) == 0;
}

bool say_in_place(int sock) {
  return ::shutdown(sock, SHUT_RD) == 0;
}
