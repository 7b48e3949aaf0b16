#include "console.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef FERRY_WHARF_VERSION
#error "FERRY_WHARF_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace {

constexpr const char* COPYRIGHT =
    "Copyright (c) 2026 the ferry and wharf authors.\n"
    "License: MIT. This is free software: you are free to change and\n"
    "redistribute it. There is NO WARRANTY, to the extent permitted by law.\n";

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
  const int columns = std::printf("%llu", static_cast<unsigned long long>(number));
  std::fflush(stdout);
  line_open = true;
  if (columns > 0 && same_terminal(STDOUT_FILENO, STDERR_FILENO))
    line_grew(static_cast<std::size_t>(columns));
}

void print_prompt(const char* prompt) {
  clear_status();
  std::fputs(prompt, stdout);
  std::fflush(stdout);
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

Asked read_arguments(int argc, char** argv) {
  if (argc < 2)
    return Asked::transfer;
  const std::string_view first = argv[1];
  if (argc == 2 && first == "--help")
    return Asked::help;
  if (argc == 2 && first == "--version")
    return Asked::version;
  return Asked::refused;
}

int answer(const char* program, Asked asked, int argc, char** argv, const char* usage,
           const char* how) {
  if (asked == Asked::refused) {
    // After a question, the word that follows it is the one refused.
    const std::string_view first = argv[1];
    const bool question = first == "--help" || first == "--version";
    const char* refused = question && argc > 2 ? argv[2] : argv[1];
    std::fprintf(stderr, "%s: takes no arguments (got \"%s\"); %s; see %s --help\n", program,
                 shown(refused).text, how, program);
    return 1;
  }
  if (asked == Asked::help)
    std::printf("Usage: %s\n%s", program, usage);
  else
    std::printf("%s %s\n%s", program, FERRY_WHARF_VERSION, COPYRIGHT);
  // A full disk or a closed pipe must not pass for an answer given.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(errno));
    return 1;
  }
  return 0;
}

ShownName shown(std::string_view name, bool cut) {
  ShownName s{};
  const bool longer = name.size() > NAME_MAX_LEN;
  std::size_t kept = longer ? NAME_MAX_LEN : name.size();
  cut = cut || longer;
  // A cut name loses the whole of a character the cut would split.
  if (cut) {
    std::size_t start = kept;
    while (start > 0 && kept - start < 3 && utf8_continuation(name[start - 1]))
      --start;
    if (start > 0 && kept - (start - 1) < utf8_length(name[start - 1]))
      kept = start - 1;
  }
  for (std::size_t i = 0; i < kept; ++i)
    s.text[i] = is_control(name[i]) ? '?' : name[i];
  if (cut)
    std::memcpy(s.text + kept, "...", 3);
  return s;
}
