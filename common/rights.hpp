// What a user of this machine may do with a file or folder, judged as the
// kernel judges it (generic_permission and posix_acl_permission): the
// owner's bits; then, where the object has a POSIX ACL (and its group
// class allows anything), a named user's entry, or else the owning group's
// and named groups' entries, each within the mask; without one, the
// group's bits; else the others'. Every group the user has counts. Root
// may read and write anything and search any folder. This is the rule by
// which the programs never give anyone a right they do not already have.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

struct User {
  uid_t uid = 0;
  std::vector<gid_t> groups; // the primary group first, then the others
  char name[32] = {};        // the login name, or the number where there is none
};

// The user and all their groups, from the system's user database. A user
// it does not know keeps only the others' rights.
User user_of(uid_t uid);

struct AclEntry {
  enum Tag : std::uint8_t { user_obj, user, group_obj, group, mask, other };
  Tag tag = other;
  unsigned id = 0;   // the uid or gid of a named entry
  unsigned perm = 0; // R_OK | W_OK | X_OK
};

// What access to an object is judged by.
struct Access {
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  std::vector<AclEntry> acl; // empty where the object has no ACL
  bool acl_unread = false;   // it has one that this build cannot read: it grants others nothing
};

Access access_of(const struct stat& st);
// The object open at `fd` (O_PATH will do), its ACL included. False with
// errno set.
bool access_of(int fd, Access* access);

// Whether `user` may read (R_OK), write (W_OK) or search (X_OK) the
// object: every bit of `want` must be granted.
bool may(const User& user, const Access& object, int want);

// Whether `uid` is the user this program runs as, or root: the kernel's
// own checks then judge, and nothing is judged on their behalf.
bool answers_for_itself(uid_t uid);

// The sticky folder's rule: in a folder with the sticky bit, an existing
// file may be replaced only by its owner, the folder's owner or root.
bool sticky_allows(mode_t dir_mode, uid_t dir_owner, uid_t target_owner, uid_t who);

// Whether `user` could put a file named like `target` into the folder
// `dir` (a rename over it, or a new file): write and search on the folder,
// and, in a sticky folder, an existing `target` must be theirs or the
// folder theirs. `target` is nullptr when there is no such file yet.
bool could_put(const User& user, const Access& dir, const struct stat* target);

// Whether `user` could reach the folder open at `dir` by its path: search
// on it and on every folder above it, as found by going up ("..") from the
// descriptor itself, never by name. False with errno set where a folder
// could not be looked at.
bool may_reach(const User& user, int dir);
