// The typed name: the first word only, and never past the buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "read_name.hpp"

namespace {

NameRead typed(std::string input, std::string* name, bool* more_words = nullptr) {
  std::FILE* in = ::fmemopen(input.data(), input.size(), "r");
  char buffer[CTRL_LEN];
  std::fill(std::begin(buffer), std::end(buffer), 'X');
  const NameRead result = read_name(in, buffer, more_words);
  std::fclose(in);
  if (result == NameRead::ok)
    *name = buffer;
  return result;
}

} // namespace

TEST(ReadName, TakesTheFirstWordAfterBlanks) {
  std::string name;
  bool more = false;
  EXPECT_EQ(typed("  a.txt more words\n", &name, &more), NameRead::ok);
  EXPECT_EQ(name, "a.txt");
  EXPECT_TRUE(more);
  EXPECT_EQ(typed("\t\nnotes.txt  \nnext line", &name, &more), NameRead::ok);
  EXPECT_EQ(name, "notes.txt");
  EXPECT_FALSE(more);
  EXPECT_EQ(typed("abcdefghij123456789\n", &name), NameRead::ok);
  EXPECT_EQ(name, "abcdefghij123456789");
  // Bytes of a UTF-8 name, and 0xA0 (a blank in Latin-1), are the name's.
  EXPECT_EQ(typed("r\xc3\xa9sum\xc3\xa9.txt\xa0x\n", &name, &more), NameRead::ok);
  EXPECT_EQ(name, "r\xc3\xa9sum\xc3\xa9.txt\xa0x");
  EXPECT_FALSE(more);
}

TEST(ReadName, SkipLineLeavesTheNextLineForWhateverReadsNext) {
  std::string input = "the rest of a long line\nnext\n";
  std::FILE* in = ::fmemopen(input.data(), input.size(), "r");
  skip_line(in);
  char rest[8] = {};
  EXPECT_NE(std::fgets(rest, sizeof rest, in), nullptr);
  EXPECT_STREQ(rest, "next\n");
  std::fclose(in);
}

TEST(ReadName, ReportsNoWordAndWordsTooLongForTheDatagram) {
  std::string name;
  EXPECT_EQ(typed("", &name), NameRead::none);
  EXPECT_EQ(typed("  \n\t ", &name), NameRead::none);
  EXPECT_EQ(typed("abcdefghij1234567890", &name), NameRead::too_long);
  EXPECT_EQ(typed(std::string(5000, 'y'), &name), NameRead::too_long);
}
