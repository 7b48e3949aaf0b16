#include "status_line.hpp"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// Shared with the signal handlers, so plain values only.
volatile std::sig_atomic_t before_cols = 0; // the line's own columns, before the status
volatile std::sig_atomic_t drawn_cols = 0;  // before_cols plus the status shown; 0: none
volatile std::sig_atomic_t echo_taken = 0;
volatile std::sig_atomic_t restarted = 0; // a stop has moved the line up the screen
volatile std::sig_atomic_t continued = 0; // echo is off and `echoing` holds the terminal's own
termios echoing{};

// Appends `text` to out[*at..size), as far as it goes.
void put(char* out, std::size_t size, std::size_t* at, const char* text) {
  for (; *text != '\0' && *at + 1 < size; ++text)
    out[(*at)++] = *text;
  out[*at] = '\0';
}

void put_number(char* out, std::size_t size, std::size_t* at, std::size_t number) {
  char digits[24];
  std::size_t n = sizeof digits - 1;
  digits[n] = '\0';
  do {
    digits[--n] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0 && n > 0);
  put(out, size, at, digits + n);
}

// The terminal's width; 80 where it does not say.
std::size_t width() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

// A background job must not draw: its line would land wherever the
// foreground's output has put the cursor.
bool in_foreground() {
  const pid_t group = ::tcgetpgrp(STDERR_FILENO);
  return group != -1 && group == ::getpgrp();
}

// Whether standard error is a terminal that can move its cursor.
bool can_draw() {
  static const bool can = [] {
    const char* term = std::getenv("TERM");
    return ::isatty(STDERR_FILENO) != 0 && term != nullptr && *term != '\0' &&
           std::strcmp(term, "dumb") != 0;
  }();
  return can;
}

void take_echo() {
  if (echo_taken != 0 || ::tcgetattr(STDERR_FILENO, &echoing) != 0 || (echoing.c_lflag & ECHO) == 0)
    return;
  termios quiet = echoing;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  if (::tcsetattr(STDERR_FILENO, TCSANOW, &quiet) == 0)
    echo_taken = 1;
}

void give_echo() {
  if (echo_taken == 0)
    return;
  // A terminal that has gone, or a process group sent to the background,
  // leaves nothing to give back to.
  (void)::tcsetattr(STDERR_FILENO, TCSANOW, &echoing);
  echo_taken = 0;
}

void on_ending_signal(int signal) {
  erase_status_now();
  // Unchecked: both cannot fail for a signal that was just delivered.
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

void on_continue(int) {
  continued = 1;
}

void on_stop(int) {
  const int error = errno;
  erase_status_now();
  // Stopped as if by the default action; once continued, the line the
  // status was on has gone up the screen, and the next draw starts a line
  // of its own. The kernel does not stop a process group that no shell
  // watches (an orphaned one): its line stays where it was.
  continued = 0;
  // Unchecked: with a valid signal, mask and own pid these cannot fail.
  (void)std::signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  (void)::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  (void)::kill(::getpid(), SIGTSTP);
  (void)::sigprocmask(SIG_BLOCK, &stop, nullptr);
  if (continued != 0) {
    before_cols = 0;
    restarted = 1;
  }
  struct sigaction again {};
  again.sa_handler = on_stop;
  again.sa_flags = SA_RESTART;
  // As at the first arming, which succeeded with the same arguments.
  (void)::sigaction(SIGTSTP, &again, nullptr);
  errno = error;
}

// Once, as the first status is drawn. Signals already handled (wharf's
// clean-up erases the line itself) or ignored (nohup) are left as set.
void arm_handlers() {
  static const bool armed = [] {
    (void)std::atexit(clear_status); // 32 registrations are guaranteed; this is one of two
    const struct {
      int signal;
      void (*handler)(int);
    } handled[] = {{SIGINT, on_ending_signal}, {SIGTERM, on_ending_signal},
                   {SIGHUP, on_ending_signal}, {SIGQUIT, on_ending_signal},
                   {SIGTSTP, on_stop},         {SIGCONT, on_continue}};
    for (const auto& h : handled) {
      struct sigaction now {};
      if (::sigaction(h.signal, nullptr, &now) != 0 || now.sa_handler != SIG_DFL)
        continue;
      // Where SIGTSTP stays as it was, no stop is followed.
      if (h.signal == SIGCONT && ::sigaction(SIGTSTP, nullptr, &now) == 0 &&
          now.sa_handler != on_stop)
        continue;
      struct sigaction handler {};
      handler.sa_handler = h.handler;
      // Calls under way go on: a look at the receiver, a splice.
      handler.sa_flags = SA_RESTART;
      // A signal left at its default only leaves its line drawn.
      (void)::sigaction(h.signal, &handler, nullptr);
    }
    return true;
  }();
  (void)armed;
}

} // namespace

std::size_t back_to_status(char* out, std::size_t size, std::size_t before, std::size_t drawn,
                           std::size_t width) {
  std::size_t at = 0;
  out[0] = '\0';
  if (drawn == 0 || width == 0)
    return 0;
  // Rows counted as the terminal has wrapped the line. The status is drawn
  // short of the last column, so a line that ends on it has been rewrapped
  // by a resize, after which tmux leaves the cursor at the line's end or at
  // the start of the next row, by what the row held before. A blank puts it
  // just past the start of the next row either way.
  if (drawn % width == 0)
    put(out, size, &at, " ");
  const std::size_t end_row = drawn / width;
  const std::size_t start_row = before / width;
  if (end_row > start_row) {
    put(out, size, &at, "\033[");
    put_number(out, size, &at, end_row - start_row);
    put(out, size, &at, "A");
  }
  put(out, size, &at, "\r");
  if (before % width > 0) {
    put(out, size, &at, "\033[");
    put_number(out, size, &at, before % width);
    put(out, size, &at, "C");
  }
  put(out, size, &at, end_row > start_row ? "\033[J" : "\033[K");
  return at;
}

std::size_t status_room() {
  if (!can_draw() || !in_foreground())
    return 0;
  const std::size_t columns = width();
  const auto before = static_cast<std::size_t>(before_cols);
  // A line that fills its last row leaves no room on it, and the status
  // never starts a row of its own.
  if (before > 0 && before % columns == 0)
    return 0;
  const std::size_t used = before % columns;
  // The last column stays free: a terminal that wraps on it would scroll.
  return columns - used > 1 ? columns - used - 1 : 0;
}

void show_status(const char* text) {
  const std::size_t room = status_room();
  if (room == 0) {
    clear_status();
    return;
  }
  arm_handlers();
  take_echo();
  char line[512];
  std::size_t at = back_to_status(line, sizeof line, static_cast<std::size_t>(before_cols),
                                  static_cast<std::size_t>(drawn_cols), width());
  std::size_t length = std::strlen(text);
  if (length > room)
    length = room;
  if (at + length + 1 > sizeof line)
    length = sizeof line - at - 1;
  std::copy_n(text, length, line + at);
  at += length;
  if (::write(STDERR_FILENO, line, at) == static_cast<ssize_t>(at))
    drawn_cols = static_cast<std::sig_atomic_t>(before_cols + static_cast<long>(length));
}

void clear_status() {
  const int error = errno;
  erase_status_now();
  errno = error;
}

void erase_status_now() {
  if (drawn_cols != 0) {
    char line[64];
    const std::size_t length =
        back_to_status(line, sizeof line, static_cast<std::size_t>(before_cols),
                       static_cast<std::size_t>(drawn_cols), width());
    // An erase that did not reach the terminal leaves nothing to do better.
    (void)!::write(STDERR_FILENO, line, length);
    drawn_cols = 0;
  }
  give_echo();
}

void line_grew(std::size_t columns) {
  restarted = 0;
  before_cols = static_cast<std::sig_atomic_t>(before_cols + static_cast<long>(columns));
}

void line_ended() {
  restarted = 0;
  before_cols = 0;
}

bool line_restarted() {
  return restarted != 0;
}
