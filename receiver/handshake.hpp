// wharf's half of the handshake with ferry (sender/handshake.* is ferry's).
// wharf never sends: the kernel shows ferry its steps on wharf's socket,
// in this order:
//   the mark      - an IP_TOS no sending socket of wharf's needs (wear_mark);
//   name taken    - the socket connects to the sender of the name
//                   (Inbox::listen_only_to, which also hears no one else);
//   copy prepared - the sending side is shut down (say_ready);
//   working       - while the copy is synced and renamed, the mark
//                   alternates (Beat, beat.hpp);
//   copy in place - the receiving side is shut down too (say_in_place);
// and then wharf waits, a while at most, for a sender that watches to go
// (SenderCheck::await_sender_gone), so that it sees the last step.
#pragma once

#include "failure.hpp"

Failure wear_mark(int sock);
// False with errno set.
bool say_ready(int sock);
bool say_in_place(int sock);
