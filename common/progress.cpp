#include "progress.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "console.hpp"

namespace {

constexpr auto SHOW_AFTER = std::chrono::seconds(1);
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(250);

// A byte count in the largest unit that keeps it at 1 or more.
void with_unit(char* out, std::size_t size, double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  if (unit == 0)
    std::snprintf(out, size, "%.0f %s", bytes, units[unit]);
  else
    std::snprintf(out, size, "%.1f %s", bytes, units[unit]);
}

} // namespace

StatusText progress_text(std::uint64_t done, std::uint64_t total, double bytes_per_second) {
  char so_far[16], whole[16], rate[16];
  with_unit(so_far, sizeof so_far, static_cast<double>(done));
  with_unit(whole, sizeof whole, static_cast<double>(total));
  with_unit(rate, sizeof rate, bytes_per_second);
  StatusText s{};
  if (bytes_per_second <= 0) {
    std::snprintf(s.text, sizeof s.text, "  %s of %s", so_far, whole);
    return s;
  }
  const auto left = static_cast<unsigned long long>(
      std::llround(static_cast<double>(total - done) / bytes_per_second));
  if (left < 100)
    std::snprintf(s.text, sizeof s.text, "  %s of %s  %s/s  %llu s left", so_far, whole, rate,
                  left);
  else
    std::snprintf(s.text, sizeof s.text, "  %s of %s  %s/s  %llu min left", so_far, whole, rate,
                  (left + 30) / 60);
  return s;
}

Progress::Progress() : terminal_(::isatty(STDERR_FILENO) != 0) {}

void Progress::start(std::uint64_t total) {
  total_ = total;
  start_ = Clock::now();
  next_ = start_ + SHOW_AFTER;
}

bool Progress::shown_by_now(Clock::time_point now) {
  if (!terminal_ || now < next_)
    return false;
  next_ = now + REDRAW_EVERY;
  return true;
}

void Progress::update(std::uint64_t done, Clock::time_point now) {
  if (!shown_by_now(now))
    return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  show_status(
      progress_text(done, total_, seconds > 0 ? static_cast<double>(done) / seconds : 0).text);
}

void Progress::syncing() {
  const Clock::time_point now = Clock::now();
  if (!terminal_ || now < start_ + SHOW_AFTER)
    return;
  char whole[16];
  with_unit(whole, sizeof whole, static_cast<double>(total_));
  StatusText s{};
  std::snprintf(s.text, sizeof s.text, "  %s of %s  syncing to disk", whole, whole);
  show_status(s.text);
}
