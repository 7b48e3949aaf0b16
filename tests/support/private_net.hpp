// A network of its own for the process that calls it and everything it
// starts: a fresh network namespace with only its loopback up, so that port
// 8885 there is no one else's. A user's own wharf is never reached, and
// copies that run at the same time do not meet.
#pragma once

// Root enters the namespace directly; anyone else first enters a user
// namespace in which they keep their own user and group IDs, and where
// they have subordinate IDs, those stand for every other user. With
// `private_tmp`, the process also gets a mount namespace and a fresh tmpfs
// of its own, mounted on a new directory in the system's temporary
// directory and made TMPDIR: it hides nothing that was there before, and
// it goes, mount point and all, with the process, so nothing is ever left. Must be called while the process
// has one thread. Returns nullptr, or why no namespace could be made.
const char* enter_private_network(bool private_tmp);

// Whether the process may act as other users (root, or the maker of a
// user namespace with subordinate IDs mapped): the programs it starts as
// another user then run as that user, and it may give files away.
bool may_act_as_others();
