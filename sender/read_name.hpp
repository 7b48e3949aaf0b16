// Reading the file name typed at ferry's prompt.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "transfer.hpp"

enum class NameRead { ok, none, too_long };

// Reads the first whitespace-delimited word, as scanf("%s") would, but never
// past the buffer: a word longer than NAME_MAX_LEN is reported, not cut,
// and `name` then holds its first NAME_MAX_LEN characters. `more_words`,
// if given, tells whether other words followed on the same line.
NameRead read_name(std::FILE* in, char (&name)[CTRL_LEN], bool* more_words = nullptr);
// The same from a line already read whole, as a line editor returns it.
NameRead first_word(std::string_view line, char (&name)[CTRL_LEN], bool* more_words = nullptr);
// Reads and drops what is left of the current line.
void skip_line(std::FILE* in);
