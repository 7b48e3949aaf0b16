// Reading the file name typed at ferry's prompt.
#pragma once

#include <cstddef>
#include <cstdio>

#include "transfer.hpp"

enum class NameRead { ok, none, too_long };

// Reads the first whitespace-delimited word, as scanf("%s") would, but never
// past the buffer: a word longer than NAME_MAX_LEN is reported, not cut.
NameRead read_name(std::FILE* in, char (&name)[CTRL_LEN]);
