#include "read_name.hpp"

#include <cctype>

namespace {

// Consumes the rest of the line; true if it held anything but blanks.
bool rest_of_line_has_words(std::FILE* in, int c) {
  bool words = false;
  for (; c != EOF && c != '\n'; c = std::fgetc(in))
    words = words || !std::isspace(c);
  return words;
}

} // namespace

NameRead read_name(std::FILE* in, char (&name)[CTRL_LEN], bool* more_words) {
  int c = std::fgetc(in);
  while (c != EOF && std::isspace(c))
    c = std::fgetc(in);
  std::size_t length = 0;
  for (; c != EOF && !std::isspace(c); c = std::fgetc(in)) {
    if (length == NAME_MAX_LEN) {
      name[length] = '\0';
      return NameRead::too_long;
    }
    name[length++] = static_cast<char>(c);
  }
  name[length] = '\0';
  if (more_words != nullptr)
    *more_words = rest_of_line_has_words(in, c);
  return length == 0 ? NameRead::none : NameRead::ok;
}
