#include "failure.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

Failure Failure::call(const char* label) {
  Failure f;
  f.label_ = label;
  f.error_ = errno;
  return f;
}

Failure Failure::said(const char* format, ...) {
  Failure f;
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above; clang 14 misses va_start in static members
  std::vsnprintf(f.text_, sizeof f.text_, format, args);
  va_end(args);
  return f;
}
