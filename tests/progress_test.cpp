// The status line of a long copy.
#include <gtest/gtest.h>

#include "progress.hpp"

TEST(Progress, SaysHowMuchOfHowMuchHowFastAndHowLongLeft) {
  constexpr std::uint64_t MiB = 1 << 20;
  const struct {
    std::uint64_t done, total;
    double rate;
    const char* line;
  } cases[] = {
      {12 * MiB, 60 * MiB, 10.0 * MiB, "  12.0 MiB of 60.0 MiB  10.0 MiB/s  5 s left"},
      {0, 60 * MiB, 0, "  0 B of 60.0 MiB"},
      {512, 2000, 100, "  512 B of 2.0 KiB  100 B/s  15 s left"},
      {1536 * MiB, 2047 * MiB, 1.0 * MiB, "  1.5 GiB of 2.0 GiB  1.0 MiB/s  9 min left"},
      {60 * MiB, 60 * MiB, 50.0 * MiB, "  60.0 MiB of 60.0 MiB  50.0 MiB/s  0 s left"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(progress_text(c.done, c.total, c.rate).text, c.line);
}
