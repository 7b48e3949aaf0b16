// The command line: the programs take no arguments; --help and --version
// alone are answered, anything else is refused.
#pragma once

// What the command line asks for.
enum class Asked { transfer, help, version, refused };
Asked read_arguments(int argc, char** argv);
// Answers what was asked, other than a transfer, and returns the exit
// status: 0 once the answer is written, 1 for a refusal (naming the
// argument refused) or an answer stdout would not take. `usage` is the
// help text after the "Usage:" line; `how` says in a few words how the
// program is run.
int answer(const char* program, Asked asked, int argc, char** argv, const char* usage,
           const char* how);
