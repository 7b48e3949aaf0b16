#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <numeric>

#include "status_line.hpp"

namespace {

constexpr auto SHOW_AFTER = std::chrono::seconds(1);
constexpr auto STALLED_AFTER = std::chrono::seconds(1);
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(250);
constexpr const char* SYNCING = "syncing to disk";

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

void figures(char* out, std::size_t size, std::uint64_t done, std::uint64_t total) {
  char so_far[16], whole[16];
  with_unit(so_far, sizeof so_far, static_cast<double>(done));
  with_unit(whole, sizeof whole, static_cast<double>(total));
  std::snprintf(out, size, "  %s of %s", so_far, whole);
}

// A part of the line, and when it goes as the room shrinks: the one part
// with `drop` 0 is never dropped but cut to the room; the others are
// dropped whole, 1 first.
struct Part {
  const char* text;
  int drop;
};

// The parts, in order, less those that must be dropped for the rest to fit
// in `room`.
StatusText fitted(std::initializer_list<Part> parts, std::size_t room) {
  StatusText s{};
  room = std::min(room, sizeof s.text - 1);
  int dropped = 0; // the parts with drop 1 to `dropped` are gone
  const auto kept = [&dropped](const Part& p) { return p.drop == 0 || p.drop > dropped; };
  const auto length = [&] {
    return std::accumulate(
        parts.begin(), parts.end(), std::size_t{0},
        [&](std::size_t sum, const Part& p) { return kept(p) ? sum + std::strlen(p.text) : sum; });
  };
  while (length() > room && dropped < static_cast<int>(parts.size()))
    ++dropped;
  std::size_t at = 0;
  for (const Part& p : parts) {
    if (!kept(p))
      continue;
    const std::size_t n = std::min(std::strlen(p.text), room - at);
    std::memcpy(s.text + at, p.text, n);
    at += n;
  }
  return s;
}

} // namespace

StatusText progress_text(std::uint64_t done, std::uint64_t total, double bytes_per_second,
                         std::size_t room) {
  char done_of[40], rate[24] = "", left[40] = "";
  figures(done_of, sizeof done_of, done, total);
  if (bytes_per_second > 0) {
    char per_second[16];
    with_unit(per_second, sizeof per_second, bytes_per_second);
    std::snprintf(rate, sizeof rate, "  %s/s", per_second);
    const auto seconds = static_cast<unsigned long long>(
        std::llround(static_cast<double>(total - done) / bytes_per_second));
    if (seconds < 100)
      std::snprintf(left, sizeof left, "  %llu s left", seconds);
    else
      std::snprintf(left, sizeof left, "  %llu min left", (seconds + 30) / 60);
  }
  return fitted({{done_of, 0}, {rate, 1}, {left, 2}}, room);
}

StatusText state_text(std::uint64_t done, std::uint64_t total, const char* state,
                      std::size_t room) {
  char done_of[40] = "", what[64];
  if (total > 0)
    figures(done_of, sizeof done_of, done, total);
  std::snprintf(what, sizeof what, "  %s", state);
  return fitted({{done_of, 1}, {what, 0}}, room);
}

Progress::Progress() : terminal_(::isatty(STDERR_FILENO) != 0) {}

void Progress::start(std::uint64_t total) {
  total_ = total;
  done_ = 0;
  start_ = moved_ = Clock::now();
  started_ = true;
  next_ = start_ + SHOW_AFTER;
}

bool Progress::due(Clock::time_point now, bool first_of_its_kind) {
  if (!terminal_ || (now < next_ && !first_of_its_kind))
    return false;
  next_ = now + REDRAW_EVERY;
  return true;
}

void Progress::update(std::uint64_t done, Clock::time_point now) {
  if (done > done_) {
    done_ = done;
    moved_ = now;
  }
  if (!started_ || now < start_ + SHOW_AFTER || !due(now, shown_what_ != nullptr))
    return;
  shown_what_ = nullptr;
  shown_ = true;
  const std::size_t room = status_room();
  if (now - moved_ >= STALLED_AFTER) {
    char stalled[40];
    std::snprintf(stalled, sizeof stalled, "stalled for %lld s",
                  static_cast<long long>(
                      std::chrono::duration_cast<std::chrono::seconds>(now - moved_).count()));
    show_status(state_text(done_, total_, stalled, room).text);
    return;
  }
  const double seconds = std::chrono::duration<double>(now - start_).count();
  show_status(
      progress_text(done_, total_, seconds > 0 ? static_cast<double>(done_) / seconds : 0, room)
          .text);
}

void Progress::waiting(const char* what, Clock::time_point since, Clock::time_point now) {
  // A wait shows once it has lasted a second, or at once where the line
  // is up already.
  if (!shown_ && now - since < SHOW_AFTER)
    return;
  const bool sync = what == nullptr;
  const char* shown = sync ? SYNCING : what;
  if (!due(now, shown != shown_what_))
    return;
  shown_what_ = shown;
  shown_ = true;
  show_status(state_text(sync ? total_ : done_, total_, shown, status_room()).text);
}
