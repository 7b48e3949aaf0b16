#include "failure.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

Failure Failure::call(const char* label) {
  Failure f;
  f.label_ = label;
  f.error_ = errno;
  return f;
}

Failure Failure::formatted(bool told, const char* format, va_list args) {
  Failure f;
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the callers start it; clang 14 misses va_start in static members
  std::vsnprintf(f.text_, sizeof f.text_, format, args);
  f.told_ = told;
  return f;
}

Failure Failure::said(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Failure f = formatted(false, format, args);
  va_end(args);
  return f;
}

Failure Failure::told(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const Failure f = formatted(true, format, args);
  va_end(args);
  return f;
}

Failure Failure::bare(const char* line) {
  Failure f;
  std::snprintf(f.text_, sizeof f.text_, "%s", line);
  f.told_ = true;
  f.bare_ = true;
  return f;
}

Failure Failure::with(Outcome outcome) const {
  if (label_ != nullptr || told_ || text_[0] == '\0')
    return *this;
  Failure f = *this;
  const std::size_t length = std::strlen(f.text_);
  std::snprintf(f.text_ + length, sizeof f.text_ - length, "; %s",
                outcome == Outcome::nothing_sent ? "nothing sent" : "no copy made");
  f.told_ = true;
  return f;
}
