// Who may hand wharf a copy. Any program on this machine can send to the
// port, and the format names no one, but the kernel names the owner of
// every socket: a name is taken only from a socket of wharf's own user,
// of root, or of a user who could have put the file into wharf's folder by
// their own rights. Anyone else is ignored, like a datagram from outside
// the machine. Where the kernel cannot be asked, every sender is taken.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>

#include "sock_diag.hpp"

class SenderCheck {
public:
  // Whether the socket that sent from `from` to `to` may have its copy put
  // here under `output_name` (nullptr: the name is unusable, and only the
  // folder is judged). Notes that socket, when it may.
  bool admit(const sockaddr_in& from, const sockaddr_in& to, const char* output_name);
  // Whether the socket admitted is still the one at its address, so no one
  // who took over its port once it went can end the transfer.
  bool same_sender();
  // Once the copy is in place: waits, at most `limit`, until a sender
  // that watches this socket (one connected to it, as ferry is) has gone,
  // so that it can see the copy in place before this socket goes.
  void await_sender_gone(std::chrono::milliseconds limit);

private:
  SockDiag kernel_;
  sockaddr_in from_{}, to_{};
  std::uint64_t cookie_ = 0;
  bool known_ = false; // the kernel named the sender
};
