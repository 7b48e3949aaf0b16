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

std::string zero_filled(const std::string& text) {
  return control(text);
}

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

TEST(FerryWire, TheNameIsTheOneWordTypedAndALineOfMoreSendsNothing) {
  TempDir dir;
  write_file(dir.path / "a.txt", "abc");
  write_file(dir.path / "my", "not the file named");
  const Sent s = send_with_listener(dir.path, "  a.txt \t\n");
  ASSERT_EQ(s.ferry.status, 0) << s.ferry.err;
  ASSERT_EQ(s.datagrams.size(), 3U);
  EXPECT_EQ(s.datagrams[0], zero_filled("a.txt"));
  EXPECT_EQ(s.datagrams[2], "abc");
  const Sent two = send_with_listener(dir.path, "my report.txt\n");
  EXPECT_EQ(two.ferry.status, 1);
  EXPECT_TRUE(two.datagrams.empty());
  EXPECT_NE(two.ferry.err.find("more than one word (the first is \"my\")"), std::string::npos)
      << two.ferry.err;
}
