#include "wait_limit.hpp"

#include <cstdio>
#include <cstdlib>

std::chrono::seconds wait_limit(std::chrono::seconds normal) {
#ifdef FERRY_WHARF_TEST_LIMITS
  if (const char* given = std::getenv("FERRY_WHARF_TEST_LIMIT")) {
    char* end = nullptr;
    const long seconds = std::strtol(given, &end, 10);
    if (end != given && *end == '\0' && seconds >= 1 && seconds <= normal.count())
      return std::chrono::seconds(seconds);
  }
#endif
  return normal;
}

SecondsText seconds_text(std::chrono::seconds limit) {
  SecondsText s{};
  const auto count = static_cast<long long>(limit.count());
  std::snprintf(s.text, sizeof s.text, "%lld second%s", count, count == 1 ? "" : "s");
  return s;
}
