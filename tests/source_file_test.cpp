// The file ferry sends: only a regular file under 2 GiB, refused before
// anything goes out.
#include <gtest/gtest.h>

#include <unistd.h>

#include "source_file.hpp"
#include "support/harness.hpp"

TEST(Source, OnlyARegularFileUnder2GiBIsOpened) {
  TempDir dir;
  fs::create_directory(dir.path / "folder");
  write_file(dir.path / "notes.txt", "hello");
  write_file(dir.path / "huge.bin", "");
  fs::resize_file(dir.path / "huge.bin", 1ULL << 31); // sparse: 2 GiB, one byte too many
  const fs::path before = fs::current_path();
  fs::current_path(dir.path);
  const struct {
    const char* name;
    const char* says; // nullptr: opened
  } cases[] = {
      {"notes.txt", nullptr},
      {"missing.txt", "cannot open missing.txt: No such file or directory; nothing sent"},
      {"folder", "folder is not a regular file; nothing sent"},
      {"huge.bin", "huge.bin is 2147483648 bytes; files must be under 2 GiB; nothing sent"},
  };
  for (const auto& c : cases) {
    Source source;
    const Failure f = open_source(c.name, &source);
    if (c.says == nullptr) {
      EXPECT_FALSE(f) << f.text();
      EXPECT_EQ(source.size, 5U);
    } else {
      EXPECT_STREQ(f.text(), c.says);
      EXPECT_FALSE(source.file) << c.name;
    }
  }
  fs::current_path(before);
}
