// What both programs show a user on their lines: the bare numbers and the
// prompt on stdout, and one-line failures on stderr, each on a line of its
// own.
#pragma once

#include <cstdint>

#include "failure.hpp"
#include "status_line.hpp"

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
