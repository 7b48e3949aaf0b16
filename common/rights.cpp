#include "rights.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fd.hpp"

#ifdef FERRY_WHARF_ACL
#include <acl/libacl.h>
#include <sys/acl.h>
#endif

namespace {

constexpr const char* ACL_XATTR = "system.posix_acl_access";
// Deeper than any real folder tree; a loop of mounts ends here.
constexpr int MOST_FOLDERS = 4096;

bool in_groups(const User& user, unsigned gid) {
  return std::find(user.groups.begin(), user.groups.end(), static_cast<gid_t>(gid)) !=
         user.groups.end();
}

const AclEntry* find_entry(const std::vector<AclEntry>& acl, AclEntry::Tag tag, unsigned id = 0) {
  const auto e = std::find_if(acl.begin(), acl.end(), [&](const AclEntry& a) {
    return a.tag == tag && (tag != AclEntry::user || a.id == id);
  });
  return e == acl.end() ? nullptr : &*e;
}

// posix_acl_permission: the owner was judged before.
bool acl_grants(const User& user, const std::vector<AclEntry>& acl, int want) {
  const AclEntry* mask_entry = find_entry(acl, AclEntry::mask);
  const unsigned mask = mask_entry != nullptr ? mask_entry->perm : 7;
  const auto wanted = static_cast<unsigned>(want);
  if (const AclEntry* named = find_entry(acl, AclEntry::user, user.uid))
    return (named->perm & mask & wanted) == wanted;
  bool in_class = false;
  for (const AclEntry& e : acl) {
    if ((e.tag == AclEntry::group_obj || e.tag == AclEntry::group) && in_groups(user, e.id)) {
      in_class = true;
      if ((e.perm & wanted) == wanted)
        return (mask & wanted) == wanted;
    }
  }
  const AclEntry* other = find_entry(acl, AclEntry::other);
  return !in_class && other != nullptr && (other->perm & wanted) == wanted;
}

#ifdef FERRY_WHARF_ACL
bool read_acl(const char* path, std::vector<AclEntry>* entries) {
  acl_t acl = ::acl_get_file(path, ACL_TYPE_ACCESS);
  if (acl == nullptr)
    return false;
  acl_entry_t entry = nullptr;
  for (int which = ACL_FIRST_ENTRY; ::acl_get_entry(acl, which, &entry) == 1;
       which = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    acl_permset_t permset = nullptr;
    if (::acl_get_tag_type(entry, &tag) != 0 || ::acl_get_permset(entry, &permset) != 0)
      continue;
    AclEntry e;
    e.perm = (::acl_get_perm(permset, ACL_READ) == 1 ? R_OK : 0) |
             (::acl_get_perm(permset, ACL_WRITE) == 1 ? W_OK : 0) |
             (::acl_get_perm(permset, ACL_EXECUTE) == 1 ? X_OK : 0);
    switch (tag) {
    case ACL_USER_OBJ:
      e.tag = AclEntry::user_obj;
      break;
    case ACL_GROUP_OBJ:
      e.tag = AclEntry::group_obj;
      break;
    case ACL_MASK:
      e.tag = AclEntry::mask;
      break;
    case ACL_OTHER:
      e.tag = AclEntry::other;
      break;
    case ACL_USER:
    case ACL_GROUP: {
      void* qualifier = ::acl_get_qualifier(entry);
      if (qualifier == nullptr)
        continue;
      e.tag = tag == ACL_USER ? AclEntry::user : AclEntry::group;
      e.id = *static_cast<const unsigned*>(qualifier);
      ::acl_free(qualifier);
      break;
    }
    default:
      continue;
    }
    entries->push_back(e);
  }
  ::acl_free(acl);
  return true;
}
#endif

} // namespace

#ifdef FERRY_WHARF_USER_FILES
// A static build cannot load the name service's modules of the system it
// runs on, so it reads the files themselves.
User user_of(uid_t uid) {
  User user;
  user.uid = uid;
  std::snprintf(user.name, sizeof user.name, "%u", static_cast<unsigned>(uid));
  char text[4096];
  gid_t primary = 0;
  bool known = false;
  if (FILE* users = std::fopen("/etc/passwd", "re")) {
    passwd entry{};
    passwd* found = nullptr;
    while (::fgetpwent_r(users, &entry, text, sizeof text, &found) == 0)
      if (found->pw_uid == uid) {
        std::snprintf(user.name, sizeof user.name, "%s", found->pw_name);
        primary = found->pw_gid;
        known = true;
        break;
      }
    std::fclose(users);
  }
  if (!known)
    return user;
  user.groups.push_back(primary);
  if (FILE* groups = std::fopen("/etc/group", "re")) {
    group entry{};
    group* found = nullptr;
    while (::fgetgrent_r(groups, &entry, text, sizeof text, &found) == 0)
      for (char** member = found->gr_mem; *member != nullptr; ++member)
        if (std::strcmp(*member, user.name) == 0 && found->gr_gid != primary)
          user.groups.push_back(found->gr_gid);
    std::fclose(groups);
  }
  return user;
}
#else
User user_of(uid_t uid) {
  User user;
  user.uid = uid;
  std::snprintf(user.name, sizeof user.name, "%u", static_cast<unsigned>(uid));
  passwd entry{};
  passwd* found = nullptr;
  char text[4096];
  if (::getpwuid_r(uid, &entry, text, sizeof text, &found) != 0 || found == nullptr)
    return user;
  std::snprintf(user.name, sizeof user.name, "%s", entry.pw_name);
  // Asked once with room for a few; the count it gives back is all of them.
  int count = 16;
  for (int tries = 0; tries < 4; ++tries) {
    user.groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(entry.pw_name, entry.pw_gid, user.groups.data(), &count) >= 0)
      break;
  }
  user.groups.resize(std::min(user.groups.size(), static_cast<std::size_t>(count)));
  return user;
}
#endif

Access access_of(const struct stat& st) {
  Access a;
  a.uid = st.st_uid;
  a.gid = st.st_gid;
  a.mode = st.st_mode;
  return a;
}

bool access_of(int fd, Access* access) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return false;
  *access = access_of(st);
  // Through /proc, which reaches the object itself even from O_PATH.
  char path[40];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (::getxattr(path, ACL_XATTR, nullptr, 0) < 0)
    return errno == ENODATA || errno == ENOTSUP || errno == ENOENT;
#ifdef FERRY_WHARF_ACL
  if (read_acl(path, &access->acl))
    return true;
#endif
  access->acl_unread = true;
  return true;
}

bool may(const User& user, const Access& object, int want) {
  if (user.uid == 0)
    return S_ISDIR(object.mode) || (want & X_OK) == 0 || (object.mode & 0111) != 0;
  const auto wanted = static_cast<unsigned>(want) & 7;
  if (object.uid == user.uid)
    return ((object.mode >> 6) & wanted) == wanted;
  if ((object.mode & S_IRWXG) != 0) {
    if (object.acl_unread)
      return false;
    if (!object.acl.empty())
      return acl_grants(user, object.acl, want);
  }
  unsigned granted = object.mode & 7;
  if (in_groups(user, object.gid))
    granted = (object.mode >> 3) & 7;
  return (granted & wanted) == wanted;
}

bool answers_for_itself(uid_t uid) {
  return uid == ::geteuid() || uid == 0;
}

bool sticky_allows(mode_t dir_mode, uid_t dir_owner, uid_t target_owner, uid_t who) {
  return (dir_mode & S_ISVTX) == 0 || who == 0 || target_owner == who || dir_owner == who;
}

bool could_put(const User& user, const Access& dir, const struct stat* target) {
  if (!may(user, dir, W_OK | X_OK))
    return false;
  return target == nullptr || sticky_allows(dir.mode, dir.uid, target->st_uid, user.uid);
}

bool may_reach(const User& user, int dir) {
  Fd here(::openat(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (int depth = 0; here && depth < MOST_FOLDERS; ++depth) {
    Access folder;
    struct stat st {};
    struct stat up_st {};
    if (!access_of(here.get(), &folder) || !may(user, folder, X_OK))
      return false;
    Fd up(::openat(here.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!up || ::fstat(here.get(), &st) != 0 || ::fstat(up.get(), &up_st) != 0)
      return false;
    if (st.st_dev == up_st.st_dev && st.st_ino == up_st.st_ino)
      return true; // the root
    here = std::move(up);
  }
  return false;
}
