// The file ferry sends: only a regular file under 2 GiB, refused before
// anything goes out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fd.hpp"
#include "line_editor.hpp"
#include "source_file.hpp"
#include "support/harness.hpp"

TEST(Source, OnlyARegularFileUnder2GiBIsOpened) {
  TempDir dir;
  fs::create_directory(dir.path / "folder");
  write_file(dir.path / "notes.txt", "hello");
  write_file(dir.path / "huge.bin", "");
  fs::resize_file(dir.path / "huge.bin", 1ULL << 31); // sparse: 2 GiB, one byte too many
  write_file(dir.path / "most.bin", "");
  fs::resize_file(dir.path / "most.bin", (1ULL << 31) - 1); // the largest that goes
  fs::create_symlink("notes.txt", dir.path / "mine.lnk");  // the user's own link is followed
  const fs::path before = fs::current_path();
  fs::current_path(dir.path);
  const struct {
    const char* name;
    const char* says; // nullptr: opened
  } cases[] = {
      {"notes.txt", nullptr},
      {"mine.lnk", nullptr},
      {"most.bin", nullptr},
      {"missing.txt", "cannot open missing.txt: No such file or directory"},
      {"folder", "folder is not a regular file"},
      {"huge.bin", "huge.bin is 2147483648 bytes; files must be under 2 GiB"},
  };
  for (const auto& c : cases) {
    Source source;
    const Failure f = open_source(c.name, &source);
    if (c.says == nullptr) {
      EXPECT_FALSE(f) << f.text();
      EXPECT_EQ(source.size, std::string_view(c.name) == "most.bin" ? (1ULL << 31) - 1 : 5U);
    } else {
      EXPECT_STREQ(f.text(), c.says);
      EXPECT_FALSE(source.file) << c.name;
    }
  }
  fs::current_path(before);
}

// Completion offers what ferry would send, and nothing else.
TEST(Source, CompletionOffersOnlyWhatFerryWouldSend) {
  TempDir dir;
  const fs::path before = fs::current_path();
  fs::current_path(dir.path);
  write_file("notes.txt", "hello");
  write_file(".hidden", "x");
  write_file("abcdefghij123456789", "19 bytes: the longest name");
  write_file("abcdefghij1234567890", "20 bytes");
  write_file("my file.txt", "two words");
  fs::create_directory("folder");
  write_file("huge.bin", "");
  fs::resize_file("huge.bin", 1ULL << 31);
  fs::create_symlink("notes.txt", "mine.lnk");
  const struct {
    const char* name;
    bool offered;
  } cases[] = {{"notes.txt", true},           {".hidden", false},
               {"abcdefghij123456789", true}, {"abcdefghij1234567890", false},
               {"my file.txt", false},        {"folder", false},
               {"huge.bin", false},           {"mine.lnk", true},
               {"missing.txt", false}};
  for (const auto& c : cases)
    EXPECT_EQ(offered(c.name), c.offered) << c.name;
  // What is not a regular file is never opened to be judged: opening a
  // FIFO would let through a writer waiting on it.
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  std::atomic<bool> through{false};
  std::thread writer([&through] {
    const int fd = ::open("pipe", O_WRONLY | O_CLOEXEC);
    through = true;
    ::close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(offered("pipe"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(through);
  const int reader = ::open("pipe", O_RDONLY | O_NONBLOCK | O_CLOEXEC); // lets the writer go
  writer.join();
  ::close(reader);
  fs::current_path(before);
}

// Another user's receiver gets the file only if that user could read it
// where it is: the file's bits, and search on every folder on its path.
TEST(Source, AnotherUserMustBeAbleToReachAndReadTheFile) {
  TempDir dir;
  fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  User other;
  other.uid = 4242;
  other.groups = {4242};
  const Fd top(::open(dir.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!may_reach(other, top.get()))
    GTEST_SKIP() << "the temporary folder (TMPDIR) is out of other users' reach";
  const struct {
    const char* folder;
    fs::perms folder_mode, file_mode;
    bool readable;
  } cases[] = {
      {"open", fs::perms(0755), fs::perms(0644), true},
      {"no-search", fs::perms(0754), fs::perms(0644), false},
      {"search-only", fs::perms(0711), fs::perms(0644), true},
      {"closed-file", fs::perms(0755), fs::perms(0640), false},
  };
  const fs::path before = fs::current_path();
  for (const auto& c : cases) {
    const fs::path folder = dir.path / c.folder;
    fs::create_directory(folder);
    write_file(folder / "f.txt", "x");
    fs::permissions(folder / "f.txt", c.file_mode);
    fs::current_path(folder);
    Source source;
    ASSERT_FALSE(open_source("f.txt", &source)) << c.folder;
    fs::permissions(folder, c.folder_mode);
    EXPECT_EQ(readable_by(other, source), c.readable) << c.folder;
    fs::permissions(folder, fs::perms(0755));
    fs::current_path(before);
  }
}
