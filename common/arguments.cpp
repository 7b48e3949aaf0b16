#include "arguments.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "shown.hpp"

#ifndef FERRY_WHARF_VERSION
#error "FERRY_WHARF_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace {

constexpr const char* COPYRIGHT =
    "Copyright (c) 2026 the ferry and wharf authors.\n"
    "License: MIT. This is free software: you are free to change and\n"
    "redistribute it. There is NO WARRANTY, to the extent permitted by law.\n";

} // namespace

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
