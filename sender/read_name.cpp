#include "read_name.hpp"

namespace {

// The blanks of the C locale, whatever locale ferry runs in: a byte of a
// UTF-8 name, or 0xA0 in a Latin-1 one, is part of the name.
bool is_blank(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The rule both readers share, over any source of characters: `next()`
// gives the next one, or EOF at the end. Stops after the first word; a
// word too long for the datagram is not read further.
template <class Next> NameRead take_word(Next&& next, char (&name)[CTRL_LEN], int* after) {
  int c = next();
  while (c != EOF && is_blank(c))
    c = next();
  std::size_t length = 0;
  for (; c != EOF && !is_blank(c); c = next()) {
    if (length == NAME_MAX_LEN) {
      name[length] = '\0';
      return NameRead::too_long;
    }
    name[length++] = static_cast<char>(c);
  }
  name[length] = '\0';
  *after = c;
  return length == 0 ? NameRead::none : NameRead::ok;
}

// Consumes the rest of the line; true if it held anything but blanks.
template <class Next> bool rest_of_line_has_words(Next&& next, int c) {
  bool words = false;
  for (; c != EOF && c != '\n'; c = next())
    words = words || !is_blank(c);
  return words;
}

} // namespace

NameRead read_name(std::FILE* in, char (&name)[CTRL_LEN], bool* more_words) {
  const auto next = [in] { return std::fgetc(in); };
  int after = EOF;
  const NameRead read = take_word(next, name, &after);
  if (read != NameRead::too_long && more_words != nullptr)
    *more_words = rest_of_line_has_words(next, after);
  return read;
}

NameRead first_word(std::string_view line, char (&name)[CTRL_LEN], bool* more_words) {
  std::size_t at = 0;
  const auto next = [&] { return at < line.size() ? static_cast<unsigned char>(line[at++]) : EOF; };
  int after = EOF;
  const NameRead read = take_word(next, name, &after);
  if (read != NameRead::too_long && more_words != nullptr)
    *more_words = rest_of_line_has_words(next, after);
  return read;
}

void skip_line(std::FILE* in) {
  for (int c = std::fgetc(in); c != EOF && c != '\n';)
    c = std::fgetc(in);
}
