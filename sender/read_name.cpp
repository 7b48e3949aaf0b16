#include "read_name.hpp"

#include <cctype>

NameRead read_name(std::FILE* in, char (&name)[CTRL_LEN]) {
  int c = std::fgetc(in);
  while (c != EOF && std::isspace(c))
    c = std::fgetc(in);
  std::size_t length = 0;
  for (; c != EOF && !std::isspace(c); c = std::fgetc(in)) {
    if (length == NAME_MAX_LEN)
      return NameRead::too_long;
    name[length++] = static_cast<char>(c);
  }
  name[length] = '\0';
  return length == 0 ? NameRead::none : NameRead::ok;
}
