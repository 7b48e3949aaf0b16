// The status line of a long copy.
#include <gtest/gtest.h>

#include <string>

#include "progress.hpp"
#include "status_line.hpp"

TEST(Progress, SaysHowMuchOfHowMuchHowFastAndHowLongLeftInTheRoomThereIs) {
  constexpr std::uint64_t MiB = 1 << 20;
  constexpr std::size_t WHOLE = sizeof(StatusText::text) - 1;
  // The rate goes first, then the time left; the figures are cut last.
  const struct {
    std::uint64_t done, total;
    double rate;
    std::size_t room;
    const char* line;
  } cases[] = {
      {12 * MiB, 60 * MiB, 10.0 * MiB, WHOLE, "  12.0 MiB of 60.0 MiB  10.0 MiB/s  5 s left"},
      {12 * MiB, 60 * MiB, 10.0 * MiB, 44, "  12.0 MiB of 60.0 MiB  10.0 MiB/s  5 s left"},
      {12 * MiB, 60 * MiB, 10.0 * MiB, 43, "  12.0 MiB of 60.0 MiB  5 s left"},
      {12 * MiB, 60 * MiB, 10.0 * MiB, 31, "  12.0 MiB of 60.0 MiB"},
      {12 * MiB, 60 * MiB, 10.0 * MiB, 10, "  12.0 MiB"},
      {0, 60 * MiB, 0, WHOLE, "  0 B of 60.0 MiB"},
      {512, 2000, 100, WHOLE, "  512 B of 2.0 KiB  100 B/s  15 s left"},
      {1536 * MiB, 2047 * MiB, 1.0 * MiB, WHOLE, "  1.5 GiB of 2.0 GiB  1.0 MiB/s  9 min left"},
      {60 * MiB, 60 * MiB, 50.0 * MiB, WHOLE, "  60.0 MiB of 60.0 MiB  50.0 MiB/s  0 s left"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(progress_text(c.done, c.total, c.rate, c.room).text, c.line) << c.room;
  // A state gives up the figures before it is cut itself.
  EXPECT_STREQ(state_text(12 * MiB, 60 * MiB, "stalled for 2 s", 39).text,
               "  12.0 MiB of 60.0 MiB  stalled for 2 s");
  EXPECT_STREQ(state_text(12 * MiB, 60 * MiB, "stalled for 2 s", 38).text, "  stalled for 2 s");
  EXPECT_STREQ(state_text(12 * MiB, 60 * MiB, "stalled for 2 s", 9).text, "  stalled");
}

// From the end of a line that a resize may have rewrapped, back to where
// the status began, erasing it: a line of just the width gets a blank
// first, as the terminal may have left the cursor at its end or below it.
TEST(StatusLine, GoesBackToWhereTheStatusBeganOnTheRewrappedLine) {
  const struct {
    std::size_t before, drawn, width;
    const char* escapes;
  } cases[] = {
      {1, 0, 40, ""},
      {1, 18, 100, "\r\033[1C\033[K"},
      {1, 42, 40, "\033[1A\r\033[1C\033[J"},
      {1, 41, 41, " \033[1A\r\033[1C\033[J"},
      {0, 40, 20, " \033[2A\r\033[J"},
  };
  for (const auto& c : cases) {
    char out[64];
    const std::size_t length = back_to_status(out, sizeof out, c.before, c.drawn, c.width);
    EXPECT_EQ(std::string(out, length), c.escapes) << c.before << " " << c.drawn << " " << c.width;
  }
}
