#include "console.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef FERRY_WHARF_VERSION
#error "FERRY_WHARF_VERSION comes from the project's version in CMakeLists.txt"
#endif

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
  std::printf("%llu", static_cast<unsigned long long>(number));
  std::fflush(stdout);
  line_open = true;
}

void print_prompt(const char* prompt) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  line_open = !::isatty(STDIN_FILENO);
}

void start_error_line() {
  if (line_open && same_terminal(STDOUT_FILENO, STDERR_FILENO))
    std::fputc('\n', stderr);
  line_open = false;
}

void die(const char* label) {
  start_error_line();
  std::perror(label);
  std::exit(1);
}

void fail(const char* program, const char* format, ...) {
  start_error_line();
  std::fprintf(stderr, "%s: ", program);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(1);
}

void take_no_arguments(const char* program, int argc, char** argv, const char* usage,
                       const char* how) {
  if (argc < 2)
    return;
  const std::string_view first = argv[1];
  if (argc == 2 && first == "--help") {
    std::printf("Usage: %s\n%s", program, usage);
    std::exit(0);
  }
  if (argc == 2 && first == "--version") {
    std::printf("%s %s\n", program, FERRY_WHARF_VERSION);
    std::exit(0);
  }
  fail(program, "takes no arguments (got \"%s\"); %s; see %s --help", shown(first).text, how,
       program);
}

ShownName shown(std::string_view name, bool cut) {
  ShownName s{};
  std::size_t kept = name.size() > NAME_MAX_LEN ? NAME_MAX_LEN : name.size();
  cut = cut || kept < name.size();
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
