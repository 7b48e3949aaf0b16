// How long one program waits for a sign of the other before it gives up.
#pragma once

#include <chrono>

// `normal`; in a build made for the tests (CMake's TEST_LIMITS, never a
// build to ship), the whole seconds that FERRY_WHARF_TEST_LIMIT gives
// instead (1 to `normal`), so that a test of a stall or a silence does not
// wait out ten seconds.
std::chrono::seconds wait_limit(std::chrono::seconds normal);

// "1 second", "10 seconds": for messages that name a limit.
struct SecondsText {
  char text[24];
};
SecondsText seconds_text(std::chrono::seconds limit);
