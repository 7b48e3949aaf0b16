// The receiver's reading of the datagram sequence, fed by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake.hpp"
#include "support/harness.hpp"

namespace {

// Feeds the datagrams; returns how many were taken before a refusal.
std::size_t feed(Intake& intake, const std::vector<std::string>& datagrams) {
  std::size_t taken = 0;
  for (const std::string& d : datagrams) {
    if (!intake.take(d.data(), d.size()))
      break;
    ++taken;
  }
  return taken;
}

std::vector<std::string> transfer(const std::string& name, std::size_t size) {
  std::vector<std::string> d{control(name), control(std::to_string(size))};
  for (std::size_t i = 0; i < size / 503; ++i)
    d.emplace_back(503, 'x');
  d.emplace_back(size % 503, 'y');
  return d;
}

} // namespace

TEST(Intake, TakesWholeTransfersOfEveryShape) {
  for (const std::size_t size : {0, 1, 502, 503, 1200, 1509, 5 * 503 + 7}) {
    Intake intake;
    const auto datagrams = transfer("notes.txt", size);
    EXPECT_EQ(feed(intake, datagrams), datagrams.size()) << size << ": " << intake.reason();
    EXPECT_EQ(intake.stage(), Stage::done);
    EXPECT_EQ(intake.received(), size);
    EXPECT_STREQ(intake.output_name(), "note1.txt");
    EXPECT_EQ(intake.name_length(), 9U);
  }
}

TEST(Intake, IgnoresBytesAfterTheNulInControlDatagrams) {
  Intake intake;
  std::string name = control("a.txt"), size = control("3");
  name[10] = 'Z';
  size[15] = '/';
  EXPECT_EQ(feed(intake, {name, size, "abc"}), 3U) << intake.reason();
  EXPECT_STREQ(intake.output_name(), "1.txt");
}

TEST(Intake, RefusesBadNameDatagrams) {
  const std::string twenty = "abcdefghij1234567890";
  for (const std::string& bad :
       {control("../etc/passwd"), control("/tmp/x"), control("."), control(""), control("a\nb"),
        twenty, std::string("a.txt"), control("a.txt") + "extra"}) {
    Intake intake;
    EXPECT_EQ(feed(intake, {bad}), 0U);
    EXPECT_EQ(intake.stage(), Stage::refused);
    EXPECT_STRNE(intake.reason(), "");
  }
}

TEST(Intake, RefusesBadSizeDatagrams) {
  for (const std::string& bad : {control("-5"), control("abc"), control(""), control("99999999999"),
                                 control("2147483648"), std::string("12"),
                                 std::string("12\0", 3), std::string(20, '1')}) {
    Intake intake;
    EXPECT_EQ(feed(intake, {control("a.txt"), bad}), 1U);
    EXPECT_EQ(intake.stage(), Stage::refused);
  }
}

TEST(Intake, ALostOrShortOrExtraDatagramBreaksTheSequence) {
  auto lost_full = transfer("f", 1200);
  lost_full.erase(lost_full.begin() + 2); // the 194-byte final now comes where 503 were due
  auto short_full = transfer("f", 1200);
  short_full[3].resize(400);
  auto lost_from_multiple = transfer("f", 1509);
  lost_from_multiple.erase(lost_from_multiple.begin() + 2);
  auto extra = transfer("f", 1200);
  extra.emplace_back("late");
  for (const auto& datagrams : {lost_full, short_full, lost_from_multiple, extra}) {
    Intake intake;
    EXPECT_LT(feed(intake, datagrams), datagrams.size());
    EXPECT_EQ(intake.stage(), Stage::refused);
    EXPECT_LE(intake.received(), intake.size());
  }
}

TEST(Intake, StaysRefusedOnceRefused) {
  Intake intake;
  feed(intake, {control("a/b")});
  const std::string next = control("a.txt");
  EXPECT_FALSE(intake.take(next.data(), next.size()));
}
