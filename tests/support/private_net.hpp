// A network of its own for the process that calls it and everything it
// starts: a fresh network namespace with only its loopback up, so that port
// 8885 there is no one else's. A user's own wharf is never reached, and
// copies that run at the same time do not meet.
#pragma once

// Root enters the namespace directly; anyone else first enters a user
// namespace in which they keep their own user and group IDs. With
// `private_tmp`, the process also gets a mount namespace in which the
// system's temporary directory is a fresh tmpfs, gone with the last process
// in it, so nothing is ever left there. Must be called while the process
// has one thread. Returns nullptr, or why no namespace could be made.
const char* enter_private_network(bool private_tmp);
