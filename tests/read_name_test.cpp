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
}

TEST(ReadName, ReportsNoWordAndWordsTooLongForTheDatagram) {
  std::string name;
  EXPECT_EQ(typed("", &name), NameRead::none);
  EXPECT_EQ(typed("  \n\t ", &name), NameRead::none);
  EXPECT_EQ(typed("abcdefghij1234567890", &name), NameRead::too_long);
  EXPECT_EQ(typed(std::string(5000, 'y'), &name), NameRead::too_long);
}
