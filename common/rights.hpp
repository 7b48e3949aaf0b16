// What another user of this machine may do with a file or folder by their
// own rights: the rule by which the programs never give anyone a right
// they do not already have. Mode bits only, as the kernel reads them
// (owner, else group, else others); an ACL is taken to grant nothing more.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <unistd.h>

#include <cstddef>

struct User {
  uid_t uid = 0;
  gid_t groups[64] = {}; // the primary group first, then the others
  std::size_t group_count = 0;
  char name[32] = {}; // the login name, or the number where there is none
};

// The user and their groups, from the system's user database. A user it
// does not know keeps only the "others" bits.
User user_of(uid_t uid);

// Whether `user` may read (R_OK), write (W_OK) or search (X_OK) what `st`
// describes: every bit of `want` must be granted. Root may do anything.
bool may(const User& user, const struct stat& st, int want);

// Whether `user` could put a file named like `target` into the folder
// `dir` (a rename over it, or a new file): write and search on the folder,
// and, in a sticky folder, an existing `target` must be theirs or the
// folder theirs. `target` is nullptr when there is no such file yet.
bool could_put(const User& user, const struct stat& dir, const struct stat* target);
