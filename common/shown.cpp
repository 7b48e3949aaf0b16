#include "shown.hpp"

#include <cstring>

ShownName shown(std::string_view name, bool cut) {
  ShownName s{};
  const bool longer = name.size() > NAME_MAX_LEN;
  std::size_t kept = longer ? NAME_MAX_LEN : name.size();
  cut = cut || longer;
  // A cut name loses the whole of a character the cut would split.
  if (cut) {
    std::size_t start = kept;
    while (start > 0 && kept - start < 3 && utf8_continuation(name[start - 1]))
      --start;
    if (start > 0 && kept - (start - 1) < utf8_length(name[start - 1]))
      kept = start - 1;
  }
  for (std::size_t i = 0; i < kept; ++i)
    s.text[i] = is_control(name[i]) ? '?' : name[i];
  if (cut)
    std::memcpy(s.text + kept, "...", 3);
  return s;
}
