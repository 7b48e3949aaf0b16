#include "rights.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

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
  int count = static_cast<int>(std::size(user.groups));
  if (::getgrouplist(entry.pw_name, entry.pw_gid, user.groups, &count) < 0)
    count = static_cast<int>(std::size(user.groups)); // the first ones are enough to judge
  user.group_count = static_cast<std::size_t>(count);
  return user;
}

bool may(const User& user, const struct stat& st, int want) {
  if (user.uid == 0)
    return true;
  const gid_t* end = user.groups + user.group_count;
  int shift = 0; // others
  if (st.st_uid == user.uid)
    shift = 6;
  else if (std::find(user.groups, end, st.st_gid) != end)
    shift = 3;
  const auto granted = static_cast<int>((st.st_mode >> shift) & 7);
  return (granted & want) == want;
}

bool could_put(const User& user, const struct stat& dir, const struct stat* target) {
  if (!may(user, dir, W_OK | X_OK))
    return false;
  const bool sticky = (dir.st_mode & S_ISVTX) != 0;
  return !sticky || target == nullptr || user.uid == 0 || target->st_uid == user.uid ||
         dir.st_uid == user.uid;
}
