// The real wharf against a hand-made sender: what a plain peer sends is
// copied, and hostile or broken sequences are refused leaving no trace.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

#include "support/harness.hpp"

namespace {

std::string blocks(const std::string& contents, std::size_t from, std::size_t to) {
  return contents.substr(from * 503, (to - from) * 503);
}

} // namespace

TEST(WharfCopies, NamesFromTheTableAndTheirContents) {
  const struct {
    const char* sent;
    const char* written;
    std::size_t size;
  } cases[] = {{"notes.txt", "note1.txt", 1200}, {"a.txt", "1.txt", 0},
               {"archive.tar.gz", "archiv1.ta1.gz", 503}, {"x..y", "x1.y", 1509},
               {"README", "README", 5000}, {"abcdefghij12345.txt", "abcdefghij12341.txt", 77}};
  for (const auto& c : cases) {
    TempDir dir;
    Process wharf = start_wharf(dir.path);
    const std::string contents = random_bytes(c.size, static_cast<unsigned>(c.size));
    Crafter().send_transfer(c.sent, contents);
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
  Crafter().send_transfer("notes.txt", "later");
  ASSERT_EQ(wharf.wait().status, 0);
  EXPECT_EQ(read_file(dir.path / "note1.txt"), "later");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir.path / "note1.txt").permissions()), 0666 & ~mask);
}

TEST(WharfCopies, AStrangersDatagramMidTransferStaysOutOfTheCopy) {
  TempDir dir;
  Process wharf = start_wharf(dir.path);
  const std::string contents = random_bytes(1200);
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

TEST(WharfRefusals, HostileOrBrokenSequencesEndInExitOneLeavingNoTrace) {
  const std::string c = random_bytes(1200);
  const struct {
    const char* what;
    std::vector<std::string> datagrams;
    const char* says;
  } cases[] = {
      {"climbing name", {control("../notes.txt"), control("5"), "hello"}, "'/'"},
      {"absolute name", {control("/tmp/notes.txt"), control("5"), "hello"}, "'/'"},
      {"name without NUL", {"abcdefghij1234567890", control("5"), "hello"}, "no NUL"},
      {"dot as name", {control("."), control("5"), "hello"}, "'.'"},
      {"short name datagram", {"notes.txt", control("5"), "hello"}, "not 20"},
      {"negative size", {control("notes.txt"), control("-5")}, "size"},
      {"letters as size", {control("notes.txt"), control("abc")}, "size"},
      {"empty size", {control("notes.txt"), control("")}, "size"},
      {"huge size", {control("notes.txt"), control("99999999999")}, "size"},
      {"lost full datagram", {control("notes.txt"), control("1200"), blocks(c, 0, 1), c.substr(1006)}, "194 bytes arrived where 503"},
      {"short full datagram", {control("notes.txt"), control("1200"), c.substr(0, 400)}, "400 bytes"},
      {"lost final datagram", {control("notes.txt"), control("1200"), blocks(c, 0, 1), blocks(c, 1, 2)}, "received 1006 of 1200"},
  };
  for (const auto& k : cases) {
    TempDir dir;
    write_file(dir.path / "note1.txt", "earlier copy");
    Process wharf = start_wharf(dir.path);
    const auto start = std::chrono::steady_clock::now();
    Crafter sender;
    for (const std::string& d : k.datagrams)
      sender.send(d);
    const Finished f = wharf.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << k.what;
    EXPECT_EQ(f.status, 1) << k.what;
    EXPECT_EQ(f.err.rfind("wharf: ", 0), 0U) << k.what << ": " << f.err;
    EXPECT_NE(f.err.find(k.says), std::string::npos) << k.what << ": " << f.err;
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"note1.txt"}) << k.what;
    EXPECT_EQ(read_file(dir.path / "note1.txt"), "earlier copy") << k.what;
  }
}

TEST(WharfRefusals, ASecondReceiverCannotTakeThePort) {
  TempDir dir;
  Process first = start_wharf(dir.path);
  const Finished second = run(wharf_path(), dir.path, "");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err.rfind("bind: ", 0), 0U) << second.err;
}
