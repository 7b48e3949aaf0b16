// Names as messages may show them.
#pragma once

#include <string_view>

#include "transfer.hpp"

// A name as it may be shown in a message: control characters as '?', and
// a name too long for the name datagram, or one that is `cut` from a
// longer one, shown by its first 19 bytes and "...", never ending inside a
// UTF-8 character.
struct ShownName {
  char text[NAME_MAX_LEN + 4];
};
ShownName shown(std::string_view name, bool cut = false);
