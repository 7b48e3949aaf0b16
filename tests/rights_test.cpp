// The rights judge against the kernel itself: for every user and object,
// what may() says is what the kernel answers when that user asks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "fd.hpp"
#include "rights.hpp"
#include "support/harness.hpp"

namespace {

// The POSIX ACL as the kernel stores it (linux/posix_acl_xattr.h).
struct AclRule {
  std::uint16_t tag; // 1 owner, 2 named user, 4 owning group, 8 named group, 0x10 mask, 0x20 others
  std::uint16_t perm;
  std::uint32_t id;
};

bool set_acl(const fs::path& path, const std::vector<AclRule>& rules) {
  std::string blob(4, '\0');
  blob[0] = 2; // version
  for (const AclRule& r : rules)
    blob.append(reinterpret_cast<const char*>(&r), sizeof r);
  return ::setxattr(path.c_str(), "system.posix_acl_access", blob.data(), blob.size(), 0) == 0;
}

struct Object {
  const char* name;
  bool folder;
  mode_t mode;
  gid_t group;
  std::vector<AclRule> acl; // the owner's, owning group's and others' entries follow the mode
};

// What the kernel lets `user` do with each object, asked as that user.
// The capabilities a change of user keeps where no ID was 0 before (the
// maker of a user namespace acting as another user), given up as root's
// are when it becomes anyone else.
bool drop_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return ::syscall(SYS_capset, &header, none) == 0;
}

std::vector<bool> kernel_answers(const User& user, const std::vector<std::string>& paths,
                                 const std::vector<int>& wants) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0)
    throw std::runtime_error("pipe");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (::setgroups(user.groups.size(), user.groups.data()) != 0 ||
        ::setresgid(user.groups[0], user.groups[0], user.groups[0]) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0 || (user.uid != 0 && !drop_capabilities()))
      ::_exit(1);
    for (const std::string& path : paths)
      for (const int want : wants) {
        const char answer = ::faccessat(AT_FDCWD, path.c_str(), want, AT_EACCESS) == 0 ? 1 : 0;
        if (::write(pipe_fds[1], &answer, 1) != 1)
          ::_exit(1);
      }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::vector<bool> answers;
  for (char answer = 0; ::read(pipe_fds[0], &answer, 1) == 1;)
    answers.push_back(answer == 1);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return answers;
}

User with(uid_t uid, std::vector<gid_t> groups) {
  User u;
  u.uid = uid;
  u.groups = std::move(groups);
  return u;
}

} // namespace

TEST(Rights, TheJudgeSaysWhatTheKernelSaysForEveryUserAndObject) {
  if (!may_act_as_others())
    GTEST_SKIP() << "asking the kernel as other users needs root, or subordinate IDs in /etc/subuid "
                    "and /etc/subgid";
  constexpr uid_t A = 4242, B = 4343, C = 4444, D = 4545;
  constexpr gid_t SHARED = 5000, LAST_OF_MANY = 6071;
  std::vector<gid_t> many{D};
  for (gid_t g = 6000; g <= LAST_OF_MANY; ++g)
    many.push_back(g); // 72 groups besides the user's own
  const std::vector<User> users = {with(A, {A}), with(B, {B, SHARED}), with(C, {C}),
                                   with(D, many), with(0, {0})};
  const std::vector<Object> objects = {
      {"private", false, 0600, A, {}},
      {"group-reads", false, 0640, SHARED, {}},
      {"others-read", false, 0604, A, {}},
      {"group-only", false, 0060, SHARED, {}},        // the owner is refused
      {"not-the-group", false, 0604, SHARED, {}},      // the group is refused what others get
      {"72nd-group", false, 0604, LAST_OF_MANY, {}},   // so is a user's 72nd group
      {"runnable", false, 0755, A, {}},
      {"closed-folder", true, 0700, A, {}},
      {"searchable", true, 0711, A, {}},
      {"open-folder", true, 0777, A, {}},
      {"sticky", true, 01777, A, {}},
      {"group-folder", true, 0770, SHARED, {}},
      {"acl-grants-b", false, 0600, A, {{1, 6, 0}, {2, 4, B}, {4, 0, 0}, {0x10, 4, 0}, {0x20, 0, 0}}},
      {"acl-all-but-b", false, 0644, A, {{1, 6, 0}, {2, 0, B}, {4, 4, 0}, {0x10, 4, 0}, {0x20, 4, 0}}},
      {"acl-c-only", false, 0600, A, {{1, 6, 0}, {2, 6, C}, {4, 0, 0}, {0x10, 6, 0}, {0x20, 0, 0}}},
      {"acl-masked", false, 0600, A, {{1, 6, 0}, {2, 6, B}, {4, 0, 0}, {0x10, 4, 0}, {0x20, 0, 0}}},
      {"acl-named-group", false, 0600, A, {{1, 6, 0}, {4, 0, 0}, {8, 4, SHARED}, {0x10, 4, 0}, {0x20, 0, 0}}},
      {"acl-mask-none", false, 0604, A, {{1, 6, 0}, {2, 7, B}, {4, 0, 0}, {0x10, 0, 0}, {0x20, 4, 0}}},
      {"acl-folder-not-b", true, 0777, A, {{1, 7, 0}, {2, 0, B}, {4, 7, 0}, {0x10, 7, 0}, {0x20, 7, 0}}},
      {"acl-folder-c", true, 0700, A, {{1, 7, 0}, {2, 7, C}, {4, 0, 0}, {0x10, 7, 0}, {0x20, 0, 0}}},
  };
  TempDir dir;
  fs::permissions(dir.path, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  std::vector<std::string> paths;
  std::vector<Access> judged;
  bool acls = true;
  for (const Object& o : objects) {
    const fs::path path = dir.path / o.name;
    if (o.folder)
      fs::create_directory(path);
    else
      write_file(path, "x");
    ASSERT_EQ(::chown(path.c_str(), A, o.group), 0);
    ASSERT_EQ(::chmod(path.c_str(), o.mode), 0);
    if (!o.acl.empty() && !set_acl(path, o.acl)) {
      acls = false;
      continue;
    }
    Fd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
    Access access;
    ASSERT_TRUE(access_of(fd.get(), &access)) << o.name;
    paths.push_back(path.string());
    judged.push_back(access);
  }
  if (!acls)
    std::cout << "[   NOTE   ] no ACLs on this filesystem: those objects not tried\n";
  const std::vector<int> wants = {R_OK, W_OK, X_OK, R_OK | W_OK, W_OK | X_OK};
  int compared = 0;
  for (const User& user : users) {
    const std::vector<bool> kernel = kernel_answers(user, paths, wants);
    ASSERT_EQ(kernel.size(), paths.size() * wants.size()) << "user " << user.uid;
    for (std::size_t p = 0; p < paths.size(); ++p)
      for (std::size_t w = 0; w < wants.size(); ++w, ++compared)
        EXPECT_EQ(may(user, judged[p], wants[w]), kernel[p * wants.size() + w])
            << "user " << user.uid << ", " << fs::path(paths[p]).filename() << ", want "
            << wants[w];
  }
  EXPECT_GE(compared, 300);

  // The way to a folder counts, as the kernel walks it from the root.
  const fs::path inner = dir.path / "closed-folder" / "inner";
  fs::create_directory(inner);
  ::chmod(inner.c_str(), 0777);
  Fd inner_fd(::open(inner.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (const User& user : users) {
    const std::vector<bool> kernel = kernel_answers(user, {inner.string()}, {X_OK});
    ASSERT_EQ(kernel.size(), 1U);
    EXPECT_EQ(may_reach(user, inner_fd.get()), kernel[0]) << "user " << user.uid;
  }
}

// The same judge from hand-made folders and files, for any user running
// the tests: the owner's bits alone for the owner, search and write on
// the folder, and the sticky folder's rule.
TEST(Rights, APutIsJudgedByTheFoldersBitsOwnerAndStickyRule) {
  constexpr uid_t ME = 7, OTHER = 5;
  constexpr uid_t NONE = static_cast<uid_t>(-1); // no file of that name yet
  const struct {
    mode_t dir_mode;
    uid_t dir_owner, target_owner, who;
    bool may;
    const char* what;
  } cases[] = {
      {0777, 0, OTHER, ME, true, "open folder"},
      {0775, 0, NONE, ME, false, "others may not write"},
      {0776, 0, NONE, ME, false, "others may not search"},
      {0773, 0, NONE, ME, true, "read is not needed"},
      {0700, ME, NONE, ME, true, "the owner's own bits"},
      {0077, ME, NONE, ME, false, "the owner gets the owner's bits, not the others'"},
      {01777, 0, OTHER, ME, false, "sticky: another's file"},
      {01777, 0, ME, ME, true, "sticky: one's own file"},
      {01777, ME, OTHER, ME, true, "sticky: one's own folder"},
      {01777, 0, NONE, ME, true, "sticky: a new name"},
      {01777, 0, OTHER, 0, true, "sticky: root"},
  };
  for (const auto& c : cases) {
    Access dir;
    dir.uid = c.dir_owner;
    dir.gid = 100;
    dir.mode = S_IFDIR | c.dir_mode;
    struct stat target {};
    target.st_uid = c.target_owner;
    User user;
    user.uid = c.who;
    user.groups = {200};
    EXPECT_EQ(could_put(user, dir, c.target_owner == NONE ? nullptr : &target), c.may) << c.what;
  }
}
