// The real ferry against a plain receiver that records every datagram.
#include <gtest/gtest.h>

#include "support/harness.hpp"

namespace {

struct Sent {
  Finished ferry;
  std::vector<std::string> datagrams;
};

Sent send_with_listener(const fs::path& dir, const std::string& typed) {
  Listener listener;
  Sent s{run(ferry_path(), dir, typed), {}};
  s.datagrams = listener.stop();
  return s;
}

std::string zero_filled(const std::string& text) { return control(text); }

} // namespace

TEST(FerryWire, SendsNameSizeFullBlocksAndTheFinalDatagram) {
  TempDir dir;
  for (const std::size_t size : {0, 502, 503, 1200, 1509, 1 << 20}) {
    const std::string contents = random_bytes(size, static_cast<unsigned>(size));
    write_file(dir.path / "data.bin", contents);
    const Sent s = send_with_listener(dir.path, "data.bin\n");
    ASSERT_EQ(s.ferry.status, 0) << s.ferry.err;
    EXPECT_EQ(s.ferry.out, "Enter Filename with extension: " + std::to_string(size % 503));
    EXPECT_EQ(s.ferry.err, "");
    ASSERT_EQ(s.datagrams.size(), 3 + size / 503) << size;
    EXPECT_EQ(s.datagrams[0], zero_filled("data.bin"));
    EXPECT_EQ(s.datagrams[1], zero_filled(std::to_string(size)));
    std::string joined;
    for (std::size_t i = 2; i < s.datagrams.size(); ++i) {
      EXPECT_EQ(s.datagrams[i].size(), i + 1 < s.datagrams.size() ? 503 : size % 503);
      joined += s.datagrams[i];
    }
    EXPECT_EQ(joined, contents) << size;
  }
}

TEST(FerryWire, NineteenCharacterNameArrivesWholeWithItsNul) {
  TempDir dir;
  const std::string name = "abcdefghij12345.txt";
  write_file(dir.path / name, "hello");
  const Sent s = send_with_listener(dir.path, name);
  ASSERT_EQ(s.ferry.status, 0) << s.ferry.err;
  ASSERT_EQ(s.datagrams.size(), 3U);
  EXPECT_EQ(s.datagrams[0], name + std::string(1, '\0'));
}

TEST(FerryWire, OnlyTheFirstTypedWordIsTheName) {
  TempDir dir;
  write_file(dir.path / "a.txt", "abc");
  const Sent s = send_with_listener(dir.path, "  a.txt more words\n");
  ASSERT_EQ(s.ferry.status, 0) << s.ferry.err;
  ASSERT_EQ(s.datagrams.size(), 3U);
  EXPECT_EQ(s.datagrams[0], zero_filled("a.txt"));
  EXPECT_EQ(s.datagrams[2], "abc");
}

TEST(FerryRefusals, EachExitsOneWithAReasonAndSendsNothing) {
  TempDir dir;
  fs::create_directory(dir.path / "folder");
  write_file(dir.path / "ctl\x01name", "x");
  write_file(dir.path / "huge.bin", "");
  fs::resize_file(dir.path / "huge.bin", 1ULL << 31); // sparse: 2 GiB, one byte too many
  const struct {
    const char* typed;
    const char* says;
  } cases[] = {
      {"", "no file name"},
      {"   \n", "no file name"},
      {"abcdefghij1234567890", "longer than 19"},
      {"missing.txt", "cannot open missing.txt"},
      {"folder", "not a regular file"},
      {"../etc/passwd", "'/'"},
      {"ctl\x01name", "control character"},
      {"huge.bin", "under 2 GiB"},
  };
  for (const auto& c : cases) {
    const Sent s = send_with_listener(dir.path, c.typed);
    EXPECT_EQ(s.ferry.status, 1) << c.typed;
    EXPECT_EQ(s.ferry.err.rfind("ferry: ", 0), 0U) << s.ferry.err;
    EXPECT_NE(s.ferry.err.find(c.says), std::string::npos) << s.ferry.err;
    EXPECT_EQ(std::count(s.ferry.err.begin(), s.ferry.err.end(), '\n'), 1) << s.ferry.err;
    EXPECT_TRUE(s.datagrams.empty()) << c.typed;
  }
}

TEST(FerryRefusals, NoReceiverIsAFailureNotASuccess) {
  TempDir dir;
  write_file(dir.path / "notes.txt", random_bytes(1200));
  const Finished f = run(ferry_path(), dir.path, "notes.txt\n");
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("start wharf first"), std::string::npos) << f.err;
}
