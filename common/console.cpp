#include "console.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool line_open = false;

bool same_terminal(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return ::isatty(a) && ::isatty(b) && ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 &&
         sa.st_rdev == sb.st_rdev;
}

} // namespace

void print_number(std::uint64_t number) {
  clear_status();
  // Unchecked: the exit status reports the copy, and a number that could
  // not be shown does not unmake it.
  const int columns = std::printf("%llu", static_cast<unsigned long long>(number));
  (void)std::fflush(stdout);
  line_open = true;
  if (columns > 0 && same_terminal(STDOUT_FILENO, STDERR_FILENO))
    line_grew(static_cast<std::size_t>(columns));
}

void print_prompt(const char* prompt) {
  clear_status();
  // Unchecked: a prompt that cannot be shown still takes the name typed.
  (void)std::fputs(prompt, stdout);
  (void)std::fflush(stdout);
  line_open = !::isatty(STDIN_FILENO);
  // A terminal's Enter ends the line; a piped answer leaves the prompt on it.
  if (!line_open)
    line_ended();
  else if (same_terminal(STDOUT_FILENO, STDERR_FILENO))
    line_grew(std::strlen(prompt));
}

void prompt_left_open() {
  line_open = true;
}

void start_error_line() {
  const int error = errno;
  clear_status();
  if (line_open && !line_restarted() && same_terminal(STDOUT_FILENO, STDERR_FILENO))
    std::fputc('\n', stderr);
  line_open = false;
  line_ended();
  errno = error;
}

void die(const char* label) {
  fail(label, Failure::call(label));
}

// Unchecked writes: standard error is the last place left to say anything.
void warn(const char* program, const Failure& failure) {
  start_error_line();
  if (failure.label() != nullptr) {
    errno = failure.error();
    std::perror(failure.label());
  } else if (failure.is_bare()) {
    std::fprintf(stderr, "%s\n", failure.text());
  } else {
    std::fprintf(stderr, "%s: %s\n", program, failure.text());
  }
  line_ended();
}

void fail(const char* program, const Failure& failure) {
  warn(program, failure);
  std::exit(1);
}
