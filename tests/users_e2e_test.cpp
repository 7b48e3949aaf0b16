// Two ordinary users of one machine: neither program gives the other user
// a right they did not have. Run as root, the tests act as "nobody" (A)
// and as a user with no account (B); otherwise they are skipped.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/harness.hpp"

namespace {

// A folder of `owner`'s with the given mode, reachable by everyone.
fs::path folder_of(const TempDir& dir, const char* name, uid_t owner, fs::perms mode) {
  fs::permissions(dir.path, fs::perms::others_exec, fs::perm_options::add);
  const fs::path folder = dir.path / name;
  fs::create_directory(folder);
  fs::permissions(folder, mode);
  if (::chown(folder.c_str(), owner, owner) != 0)
    throw std::runtime_error("cannot give a folder away");
  return folder;
}

void file_of(const fs::path& path, const std::string& contents, uid_t owner, fs::perms mode) {
  write_file(path, contents);
  fs::permissions(path, mode);
  if (::chown(path.c_str(), owner, owner) != 0)
    throw std::runtime_error("cannot give a file away");
}

constexpr fs::perms OPEN = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
constexpr fs::perms SHARED = fs::perms::all | fs::perms::sticky_bit;

// B's open folder, holding B's key.
fs::path folder_of_b(const TempDir& dir) {
  const fs::path theirs = folder_of(dir, "b", STRANGER, OPEN);
  file_of(theirs / "authorized_keys", "B's key", STRANGER, OPEN & ~fs::perms::owner_exec);
  return theirs;
}

} // namespace

TEST(BetweenUsers, ACopyIntoAnotherUsersFolderIsIgnoredAndTheirOwnTaken) {
  if (!may_act_as_others())
    GTEST_SKIP() << "acting as two users needs root, or subordinate IDs in /etc/subuid and /etc/subgid";
  TempDir dir;
  const fs::path home = folder_of(dir, "a", NOBODY, OPEN);
  const fs::path theirs = folder_of_b(dir);
  file_of(home / "authorized_keys", "A's key", NOBODY,
          fs::perms::owner_read | fs::perms::owner_write);
  file_of(home / "notes.txt", "A's notes", NOBODY, OPEN & ~fs::perms::owner_exec);

  // B sends first into A's own folder: ignored, while A's wharf waits on
  // and takes A's copy.
  Process wharf = start_wharf(home, {.as_user = NOBODY});
  const Finished b = run(ferry_path(), theirs, "authorized_keys\n", 30, {.as_user = STRANGER});
  EXPECT_EQ(b.status, 1) << b.err;
  EXPECT_NE(b.err.find("ignored this ferry"), std::string::npos) << b.err;
  EXPECT_EQ(read_file(home / "authorized_keys"), "A's key");
  const Finished a = run(ferry_path(), home, "notes.txt\n", 30, {.as_user = NOBODY});
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(wharf.wait().status, 0);
  EXPECT_EQ(read_file(home / "note1.txt"), "A's notes");
}

TEST(BetweenUsers, AFolderOpenToAllInsideAPrivateOneIsOutOfReach) {
  if (!may_act_as_others())
    GTEST_SKIP() << "acting as two users needs root, or subordinate IDs in /etc/subuid and /etc/subgid";
  TempDir dir;
  const fs::path theirs = folder_of_b(dir);
  const fs::path closed = folder_of(dir, "a-private", NOBODY, fs::perms::owner_all);
  const fs::path inside = closed / "open";
  fs::create_directory(inside);
  fs::permissions(inside, fs::perms::all);
  file_of(inside / "authorized_keys", "A's key", NOBODY,
          fs::perms::owner_read | fs::perms::owner_write);
  Process unreachable = start_wharf(inside, {.as_user = NOBODY});
  const Finished outside = run(ferry_path(), theirs, "authorized_keys\n", 30, {.as_user = STRANGER});
  EXPECT_NE(outside.err.find("ignored this ferry"), std::string::npos) << outside.err;
  ::kill(unreachable.pid(), SIGTERM);
  unreachable.wait();
  EXPECT_EQ(read_file(inside / "authorized_keys"), "A's key");
}

TEST(BetweenUsers, InASharedFolderACopyTakesOnlyANameStillFree) {
  if (!may_act_as_others())
    GTEST_SKIP() << "acting as two users needs root, or subordinate IDs in /etc/subuid and /etc/subgid";
  TempDir dir;
  const fs::path theirs = folder_of_b(dir);
  const fs::path drop = folder_of(dir, "drop", 0, SHARED);

  // In a sticky folder, a name B could take only while it was free: A's
  // file that takes it meanwhile is left alone.
  file_of(theirs / "big.txt", random_bytes(40 << 20), STRANGER, OPEN & ~fs::perms::owner_exec);
  Process sticky = start_wharf(drop, {.as_user = NOBODY});
  Process late(ferry_path(), theirs, "big.txt\n", {.as_user = STRANGER});
  ASSERT_TRUE(await_port_connected());
  ::kill(sticky.pid(), SIGSTOP);
  file_of(drop / "bi1.txt", "A's file", NOBODY, fs::perms::owner_read | fs::perms::owner_write);
  ::kill(sticky.pid(), SIGCONT);
  const std::string said = sticky.wait().err;
  EXPECT_NE(said.find("bi1.txt appeared while the copy came"), std::string::npos) << said;
  EXPECT_EQ(late.wait().status, 1);
  EXPECT_EQ(read_file(drop / "bi1.txt"), "A's file");

  // Into a folder B may write anyway, B's file is handed over, and B's
  // ferry says whose receiver has it; but not over A's file.
  Process shared = start_wharf(drop, {.as_user = NOBODY});
  const Finished over = run(ferry_path(), theirs, "big.txt\n", 30, {.as_user = STRANGER});
  EXPECT_NE(over.err.find("ignored this ferry"), std::string::npos) << over.err;
  EXPECT_EQ(read_file(drop / "bi1.txt"), "A's file");
  const Finished handed = run(ferry_path(), theirs, "authorized_keys\n", 30, {.as_user = STRANGER});
  EXPECT_EQ(handed.status, 0);
  const passwd* account = ::getpwuid(NOBODY); // where there is none, its number
  EXPECT_EQ(handed.err, "ferry: the copy went to a receiver of user " +
                            (account != nullptr ? std::string(account->pw_name) : std::to_string(NOBODY)) +
                            ", not one of yours\n");
  EXPECT_EQ(shared.wait().status, 0);
  EXPECT_EQ(read_file(drop / "authorized_keys"), "B's key");
}

TEST(BetweenUsers, ATransferQueuedFromAPortFerryGetsLaterIsNotFerrys) {
  if (!may_act_as_others())
    GTEST_SKIP() << "acting as two users needs root, or subordinate IDs in /etc/subuid and /etc/subgid";
  // Only in a network of the test's own may its port range be narrowed.
  if (!in_network_of_own())
    GTEST_SKIP() << "needs a network namespace of its own";
  TempDir dir;
  const fs::path home = folder_of(dir, "a", NOBODY, fs::perms::owner_all);
  file_of(home / "authorized_keys", "A's key", NOBODY,
          fs::perms::owner_read | fs::perms::owner_write);
  file_of(home / "notes.txt", "A's notes", NOBODY, fs::perms::owner_read | fs::perms::owner_write);
  Process wharf = start_wharf(home, {.as_user = NOBODY});
  ::kill(wharf.pid(), SIGSTOP); // kept busy
  // B queues a whole transfer from the one port left free, and frees it:
  // the next sender on this machine gets that port.
  constexpr std::uint16_t port = 40000;
  {
    Crafter b(port);
    b.send_transfer("authorized_keys", "B's key");
  }
  write_file("/proc/sys/net/ipv4/ip_local_port_range", "40000 40000");
  Process a(ferry_path(), home, "notes.txt\n", {.as_user = NOBODY});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(wharf.pid(), SIGCONT);
  EXPECT_EQ(a.wait().status, 0);
  const Finished w = wharf.wait();
  EXPECT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err.rfind("wharf: ignored a transfer from 127.0.0.1:40000:", 0), 0U) << w.err;
  EXPECT_EQ(read_file(home / "authorized_keys"), "A's key");
  EXPECT_EQ(read_file(home / "note1.txt"), "A's notes");
}

TEST(BetweenUsers, AFileGoesOnlyToAReceiverThatCouldReadIt) {
  if (!may_act_as_others())
    GTEST_SKIP() << "acting as two users needs root, or subordinate IDs in /etc/subuid and /etc/subgid";
  TempDir dir;
  const fs::path home = folder_of(dir, "a", NOBODY, fs::perms::owner_all);
  const fs::path open = folder_of(dir, "a-open", NOBODY, OPEN);
  const fs::path drop = folder_of(dir, "drop", 0, SHARED);
  file_of(home / "secret.txt", "A's secret", NOBODY,
          fs::perms::owner_read | fs::perms::owner_write);
  file_of(open / "public.txt", "A's public", NOBODY, OPEN & ~fs::perms::owner_exec);

  // A's own link to a readable file in A's private folder.
  file_of(home / "inside.txt", "A's inside", NOBODY, OPEN & ~fs::perms::owner_exec);
  fs::create_symlink("../a/inside.txt", open / "link.txt");
  ASSERT_EQ(::lchown((open / "link.txt").c_str(), NOBODY, NOBODY), 0);

  Process wharf = start_wharf(drop, {.as_user = STRANGER});
  const Finished linked = run(ferry_path(), open, "link.txt\n", 30, {.as_user = NOBODY});
  EXPECT_EQ(linked.err, "ferry: port 8885 is held by user 4242, who could not read link.txt; "
                        "nothing sent\n");
  const Finished refused = run(ferry_path(), home, "secret.txt\n", 30, {.as_user = NOBODY});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "ferry: port 8885 is held by user 4242, who could not read secret.txt; "
                         "nothing sent\n");
  // Nothing reached B's wharf, which still waits for its first datagram.
  EXPECT_TRUE(list_dir(drop).empty());
  EXPECT_EQ(run(ferry_path(), open, "public.txt\n", 30, {.as_user = NOBODY}).status, 0);
  const Finished b = wharf.wait();
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.out, "10"
                   "10"); // the public file's, not the secret's
  EXPECT_EQ(read_file(drop / "publi1.txt"), "A's public");
}
