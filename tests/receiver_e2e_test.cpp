// The real wharf against a hand-made sender: what a plain peer sends is
// copied whole, under the right name. Its refusals are in fault_e2e_test.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <thread>

#include "support/harness.hpp"

namespace {

// A program on the PATH or in the system's sbin folders, or "".
std::string tool(const std::string& name) {
  std::stringstream dirs(std::string(std::getenv("PATH") ? std::getenv("PATH") : "") +
                         ":/usr/sbin:/sbin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((fs::path(dir) / name).c_str(), X_OK) == 0)
      return (fs::path(dir) / name).string();
  return "";
}

} // namespace

TEST(WharfCopies, NamesFromTheTableAndTheirContents) {
  const struct {
    const char* sent;
    const char* written;
    std::size_t size;
  } cases[] = {{"notes.txt", "note1.txt", 1200},
               {"a.txt", "1.txt", 0},
               {"archive.tar.gz", "archiv1.ta1.gz", 503},
               {"x..y", "x1.y", 1509},
               {"README", "README", 5000},
               {"abcdefghij12345.txt", "abcdefghij12341.txt", 77},
               {"r\xc3\xa9sum\xc3\xa9.txt", "r\xc3\xa9sum1.txt", 700},
               {"\xe5\xa0\xb1\xe5\x91\x8a.txt",
                "\xe5\xa0\xb1"
                "1.txt",
                1},
               {"caf\xe9.txt", "caf1.txt", 2}};
  for (const auto& c : cases) {
    TempDir dir;
    Process wharf = start_wharf(dir.path);
    const std::string contents = random_bytes(c.size, static_cast<unsigned>(c.size));
    Crafter sender;
    sender.send_transfer(c.sent, contents);
    const Finished f = wharf.wait();
    ASSERT_EQ(f.status, 0) << c.sent << ": " << f.err;
    EXPECT_EQ(f.out, std::to_string(std::string(c.sent).size()) + std::to_string(c.size % 503));
    EXPECT_EQ(read_file(dir.path / c.written), contents) << c.sent;
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{c.written});
  }
}

TEST(WharfCopies, ReplacesAnEarlierCopyWithNewFilePermissions) {
  TempDir dir;
  write_file(dir.path / "note1.txt", "earlier");
  fs::permissions(dir.path / "note1.txt", fs::perms::owner_read);
  Process wharf = start_wharf(dir.path);
  Crafter sender;
  sender.send_transfer("notes.txt", "later");
  ASSERT_EQ(wharf.wait().status, 0);
  EXPECT_EQ(read_file(dir.path / "note1.txt"), "later");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir.path / "note1.txt").permissions()), 0666 & ~mask);
}

TEST(WharfCopies, ASenderMayCloseOnceItsNameIsReadButNotBefore) {
  // Each sender sends everything back to back and closes its socket at
  // once; wharf is held still before it reads the name, or just after.
  const struct {
    const char* what;
    std::size_t size;
    bool name_read_first;
    bool open_to_all;
    bool copied;
  } cases[] = {
      {"gone after its name was read", 64 << 10, true, false, true},
      {"gone before: no one answers for it", 1200, false, false, false},
      {"gone before, into a folder anyone may write in", 1200, false, true, true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.open_to_all)
      fs::permissions(dir.path, fs::perms::all | fs::perms::sticky_bit);
    Process wharf = start_wharf(dir.path);
    const std::string contents = random_bytes(c.size);
    {
      Crafter sender;
      if (c.name_read_first) {
        sender.send(control("notes.txt"));
        ASSERT_TRUE(await_port_connected()) << c.what;
      }
      ::kill(wharf.pid(), SIGSTOP);
      if (c.name_read_first) {
        sender.send(control(std::to_string(c.size)));
        for (std::size_t b = 0; b < c.size / 503; ++b)
          sender.send(blocks(contents, b, b + 1));
        sender.send(contents.substr(c.size / 503 * 503));
      } else {
        sender.send_transfer("notes.txt", contents, false);
      }
    }
    ::kill(wharf.pid(), SIGCONT);
    if (!c.copied) {
      // Never a silent wait: one line says why, and what a sender must do.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ::kill(wharf.pid(), SIGTERM);
    }
    const Finished f = wharf.wait();
    if (c.copied) {
      ASSERT_EQ(f.status, 0) << c.what << ": " << f.err;
      EXPECT_EQ(read_file(dir.path / "note1.txt"), contents) << c.what;
    } else {
      EXPECT_EQ(f.err.rfind("wharf: ignored a transfer from 127.0.0.1:", 0), 0U) << f.err;
      EXPECT_NE(f.err.find("keep the socket open until wharf reads the name"), std::string::npos)
          << f.err;
      EXPECT_TRUE(list_dir(dir.path).empty()) << c.what;
    }
  }
}

TEST(WharfCopies, AStrangersDatagramMidTransferStaysOutOfTheCopy) {
  TempDir dir;
  // Open to all, where a transfer that no user answers for is taken: only
  // the way it came in keeps out one from outside this machine.
  fs::permissions(dir.path, fs::perms::all);
  Process wharf = start_wharf(dir.path);
  const std::string contents = random_bytes(1200);
  // Before the transfer, a whole one from outside this machine is ignored.
  Outsider outsider;
  if (outsider.ready()) {
    for (const std::string& d : {control("evil.txt"), control("3"), std::string("abc")})
      outsider.send(d);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } else {
    std::cout << "[   NOTE   ] no TUN device here: datagrams from outside not tried\n";
  }
  Crafter sender;
  sender.send(control("notes.txt"));
  sender.send(control("1200"));
  sender.send(blocks(contents, 0, 1));
  Crafter().send(std::string(503, 'S'));
  sender.send(blocks(contents, 1, 2));
  sender.send(contents.substr(1006));
  const Finished f = wharf.wait();
  ASSERT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(read_file(dir.path / "note1.txt"), contents);
}

// The copy's temporary file where chance or the filesystem decides: a
// hidden name already taken is passed over for another, and without
// unnamed files the named one stays through a hangup that nohup ignores.
TEST(WharfCopies, ItsTemporaryFileGivesWayAndKeepsToNohup) {
  if (failing("tmpfile").empty())
    GTEST_SKIP() << "the programs are linked statically: no call can be made to fail";
  const std::string contents = random_bytes(1200);
  {
    TempDir dir;
    write_file(dir.path / ".wharf-aaaaaa", "someone's"); // the name a first draw of zeros gives
    Process wharf = start_wharf(dir.path, {.env = failing("random_zero")});
    Crafter sender; // open until wharf has read the name
    sender.send_transfer("notes.txt", contents);
    const Finished f = wharf.wait();
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_TRUE(read_file(dir.path / "note1.txt") == contents);
    EXPECT_EQ(read_file(dir.path / ".wharf-aaaaaa"), "someone's");
  }
  TempDir dir;
  Process wharf = start_wharf(dir.path, {.env = failing("tmpfile"), .hangup_ignored = true});
  Crafter sender;
  sender.send(control("notes.txt"));
  sender.send(control("1200"));
  for (int i = 0; i < 200 && list_dir(dir.path).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(list_dir(dir.path).size(), 1U) << "no named temporary file";
  ::kill(wharf.pid(), SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sender.send(blocks(contents, 0, 1));
  sender.send(blocks(contents, 1, 2));
  sender.send(contents.substr(1006));
  const Finished f = wharf.wait();
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"note1.txt"});
  EXPECT_TRUE(read_file(dir.path / "note1.txt") == contents);
}

TEST(WharfCopies, IntoAFolderWithoutUnixPermissions) {
  // FAT has no modes and no unnamed files: wharf falls back to a named
  // temporary file whose permissions cannot be changed.
  const std::string mkfs = tool("mkfs.fat"), fusefat = tool("fusefat");
  if (mkfs.empty() || fusefat.empty())
    GTEST_SKIP() << "needs mkfs.fat and fusefat (apt-get install dosfstools fusefat)";
  TempDir from, disk;
  const fs::path image = disk.path / "fat.img", folder = disk.path / "fat";
  fs::create_directory(folder);
  if (run(mkfs, disk.path, "", 30, {.args = {"-C", image.string(), "16384"}}).status != 0 ||
      run(fusefat, disk.path, "", 30, {.args = {"-o", "rw+", image.string(), folder.string()}})
              .status != 0)
    GTEST_SKIP() << "cannot mount a FAT filesystem through FUSE here (it needs /dev/fuse and root "
                    "or a user namespace)";
  const std::string contents = random_bytes(2 << 20, 21);
  write_file(from.path / "notes.txt", contents);
  Process wharf = start_wharf(folder);
  const Finished ferry = run(ferry_path(), from.path, "notes.txt\n", 60);
  const Finished f = wharf.wait(60);
  EXPECT_EQ(ferry.status, 0) << ferry.err;
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_TRUE(read_file(folder / "note1.txt") == contents);
  EXPECT_EQ(list_dir(folder), std::vector<std::string>{"note1.txt"});
  ::umount2(folder.c_str(), MNT_DETACH);
}
