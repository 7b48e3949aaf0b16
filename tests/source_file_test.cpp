// The file ferry sends: only a regular file under 2 GiB, refused before
// anything goes out.
#include <gtest/gtest.h>

#include <unistd.h>

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
  fs::current_path(before);
}
