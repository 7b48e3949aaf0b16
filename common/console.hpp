// What both programs show a user: the bare numbers on stdout, one-line
// failures on stderr, the answer to arguments, and names made safe to show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure.hpp"
#include "status_line.hpp"
#include "transfer.hpp"

// A decimal number on stdout with no newline, flushed at once.
void print_number(std::uint64_t number);
// A prompt on stdout, flushed at once. Its line stays open unless the
// answer comes from a terminal, whose Enter ends it.
void print_prompt(const char* prompt);
// The answer to a prompt ended without an Enter (Ctrl-D at a terminal):
// its line is still open.
void prompt_left_open();

// Called before any failure line: where stdout and stderr are the same
// terminal and a number or prompt has left the line open, ends it first, so
// the failure starts on a line of its own. Pipes and files see nothing;
// errno is kept.
void start_error_line();

// perror(label), then exit status 1, on a line of its own.
[[noreturn]] void die(const char* label);
// The failure's one line, then exit status 1: "<label>: <error text>" for
// a failed call, else "<program>: <text>".
[[noreturn]] void fail(const char* program, const Failure& failure);
// The same line, for what a user must know although the program goes on
// (or ends well).
void warn(const char* program, const Failure& failure);

// What the command line asks for. The programs take no arguments: --help
// and --version alone are answered, anything else is refused.
enum class Asked { transfer, help, version, refused };
Asked read_arguments(int argc, char** argv);
// Answers what was asked, other than a transfer, and returns the exit
// status: 0 once the answer is written, 1 for a refusal (naming the
// argument refused) or an answer stdout would not take. `usage` is the
// help text after the "Usage:" line; `how` says in a few words how the
// program is run.
int answer(const char* program, Asked asked, int argc, char** argv, const char* usage,
           const char* how);

// A name as it may be shown in a message: control characters as '?', and
// a name too long for the name datagram, or one that is `cut` from a
// longer one, shown by its first 19 bytes and "...", never ending inside a
// UTF-8 character.
struct ShownName {
  char text[NAME_MAX_LEN + 4];
};
ShownName shown(std::string_view name, bool cut = false);
