// Where ferry sends from. The format names no sender: wharf knows its
// sender by the address its datagrams come from, so ferry sends from one
// that no one else can have used before it, nor use while it runs.
#pragma once

#include "failure.hpp"
#include "fd.hpp"

// Binds `sock` to a random address of the loopback range (all of
// 127.0.0.0/8 is this machine), so nothing queued before this socket
// existed came from its address, and keeps its port held on every address
// by `guard`: a socket bound to 0.0.0.0 shares its port only with sockets
// of the same user, so no one else can send from that port, whatever
// source address they choose (IP_PKTINFO). Also marks `sock` as ferry's,
// with the permission bits `mode` of the file it sends (FERRY_MARK), and
// `guard` as its guard (FERRY_GUARD), which changes nothing on the wire.
Failure send_from_own_address(int sock, unsigned mode, Fd* guard);
