// The shared rules: names, output names, size text and the block plan.
#include <gtest/gtest.h>

#include <string>

#include "transfer.hpp"

namespace {

std::string output_of(std::string name) {
  name.resize(to_output_name(name.data(), name.size()));
  return name;
}

std::string bytes(const ControlDatagram& d) {
  return std::string(d.bytes, CTRL_LEN);
}

} // namespace

TEST(OutputName, FollowsTheDotRule) {
  EXPECT_EQ(output_of("notes.txt"), "note1.txt");
  EXPECT_EQ(output_of("a.txt"), "1.txt");
  EXPECT_EQ(output_of("archive.tar.gz"), "archiv1.ta1.gz");
  EXPECT_EQ(output_of("x..y"), "x1.y");
  EXPECT_EQ(output_of("README"), "README");
}

TEST(OutputName, TurnsTheWholeUtf8CharacterBeforeADotIntoOne) {
  EXPECT_EQ(output_of("r\xc3\xa9sum\xc3\xa9.txt"), "r\xc3\xa9sum1.txt");
  EXPECT_EQ(output_of("\xe5\xa0\xb1\xe5\x91\x8a.txt"), "\xe5\xa0\xb1" "1.txt");
  EXPECT_EQ(output_of("\xc3\xa9.txt"), "1.txt");
  EXPECT_EQ(output_of("na\xc3\xafve.tar.gz"), "na\xc3\xafv1.ta1.gz");
  EXPECT_EQ(output_of("\xf0\x9f\x93\x84.md"), "1.md"); // four bytes
  // Bytes that are not UTF-8 keep the byte rule: Latin-1, a stray
  // continuation byte, an overlong form, a surrogate.
  EXPECT_EQ(output_of("caf\xe9.txt"), "caf1.txt");
  EXPECT_EQ(output_of("a\xa9.txt"), "a1.txt");
  EXPECT_EQ(output_of("a\xc1\xa9.txt"), "a\xc1" "1.txt");
  EXPECT_EQ(output_of("a\xed\xa0\x80.txt"), "a\xed\xa0" "1.txt");
  std::string shrunk = "\xc3\xa9.txt";
  EXPECT_EQ(to_output_name(shrunk.data(), shrunk.size()), 5U);
  EXPECT_EQ(shrunk, std::string("1.txt\0", 6)) << "the rest is zeroed";
}

TEST(OutputName, LeadingDotStaysAndTheRestStillApply) {
  EXPECT_EQ(output_of(".bashrc"), ".bashrc");
  EXPECT_EQ(output_of(".config.old"), ".confi1.old");
  EXPECT_EQ(output_of("..."), ".1.");
}

TEST(NameRule, AcceptsPlainNamesUpTo19Bytes) {
  for (const char* good : {"notes.txt", "abcdefghij123456789", "caf\xc3\xa9.txt", "a..b", "x.",
                           "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9.txt"})
    EXPECT_EQ(name_problem(good), nullptr) << good;
}

TEST(NameRule, RefusesWhatCouldLandOutsideTheFolderHideOrMislead) {
  for (const char* bad : {"", "a/b", "../x", "/etc/passwd", "tab\tname", "bell\a", "del\x7f", ".",
                          "..", "...", ".bashrc", ".a.txt", "abcdefghij1234567890",
                          "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9.txt"})
    EXPECT_NE(name_problem(bad), nullptr) << bad;
  EXPECT_STREQ(name_problem(".bashrc"), "it begins with '.', so its copy would be a hidden file");
}

TEST(ControlDatagrams, NameAndSizeAreTextNulAndZeroFill) {
  EXPECT_EQ(bytes(name_datagram("notes.txt")), std::string("notes.txt") + std::string(11, '\0'));
  EXPECT_EQ(bytes(name_datagram("abcdefghij123456789")),
            "abcdefghij123456789" + std::string(1, '\0'));
  EXPECT_EQ(bytes(size_datagram(1200)), "1200" + std::string(16, '\0'));
  EXPECT_EQ(bytes(size_datagram(0)), "0" + std::string(19, '\0'));
  EXPECT_EQ(bytes(size_datagram(2147483647)), "2147483647" + std::string(10, '\0'));
}

TEST(SizeText, ReadsWhatTheSenderWrites) {
  for (const std::uint64_t size : {0ULL, 1ULL, 503ULL, 1200ULL, 2147483647ULL}) {
    std::uint64_t read = 99;
    const ControlDatagram d = size_datagram(size);
    EXPECT_EQ(size_text_problem(std::string_view(d.bytes, CTRL_LEN), &read), nullptr);
    EXPECT_EQ(read, size);
  }
}

TEST(SizeText, RefusesSignsLettersEmptinessAndOverflow) {
  for (const char* bad :
       {"-5", "+5", "abc", "", "99999999999", "00000000001", "2147483648", "4294967295", "12a",
        "1-", " 12", "1 2"}) {
    std::string d(bad);
    d.resize(20, '\0');
    std::uint64_t read = 7;
    EXPECT_NE(size_text_problem(d, &read), nullptr) << bad;
    EXPECT_EQ(read, 7U) << bad;
  }
  std::uint64_t read = 0;
  EXPECT_NE(size_text_problem("12345678901234567890", &read), nullptr) << "no NUL";
}

TEST(BlockPlan, FullBlocksThenTheRemainder) {
  struct Case {
    std::uint64_t size, full;
    std::size_t last;
  };
  for (const Case c : {Case{0, 0, 0}, Case{502, 0, 502}, Case{503, 1, 0}, Case{1200, 2, 194},
                       Case{1509, 3, 0}, Case{2147483647, 4269351, 94}}) {
    EXPECT_EQ(full_blocks(c.size), c.full) << c.size;
    EXPECT_EQ(final_length(c.size), c.last) << c.size;
  }
}
