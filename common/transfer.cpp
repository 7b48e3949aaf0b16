#include "transfer.hpp"

#include <cstdio>
#include <cstring>

const char* name_problem(std::string_view name) {
  if (name.empty())
    return "it is empty";
  if (name.size() > NAME_MAX_LEN)
    return "it is longer than 19 bytes";
  for (const char c : name) {
    if (c == '/')
      return "it contains '/'";
    if (is_control(c))
      return "it contains a control character";
  }
  // A copy named ".bashrc" or ".profile" could be run by whoever owns the
  // receiving folder; the output name rule keeps a leading '.', which also
  // covers "." and "..".
  if (name.front() == '.')
    return "it begins with '.', so its copy would be a hidden file";
  return nullptr;
}

namespace {

// Where the character that ends just before `end` begins: the first byte
// of a valid UTF-8 sequence of two to four bytes, or else `end - 1` alone.
std::size_t character_start(const char* name, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && utf8_continuation(name[start]))
    --start;
  const auto lead = static_cast<unsigned char>(name[start]);
  const std::size_t length = utf8_length(name[start]);
  if (length == 1 || length != end - start || lead > 0xF4)
    return end - 1;
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = start + 1; i < end; ++i) {
    if (!utf8_continuation(name[i]))
      return end - 1;
    code = code << 6 | (static_cast<unsigned char>(name[i]) & 0x3F);
  }
  // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
  constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
    return end - 1;
  return start;
}

} // namespace

std::size_t to_output_name(char* name, std::size_t length) {
  // Built from the right into `out`, so of two adjacent dots the left one
  // is overwritten: the '1' is the next character examined, not the dot.
  char out[CTRL_LEN];
  std::size_t at = length;
  for (std::size_t j = length; j > 0;) {
    out[--at] = name[--j];
    if (name[j] == '.' && j > 0) {
      j = character_start(name, j);
      out[--at] = '1';
    }
  }
  const std::size_t kept = length - at;
  std::memcpy(name, out + at, kept);
  std::memset(name + kept, 0, length - kept);
  return kept;
}

ControlDatagram name_datagram(std::string_view name) {
  ControlDatagram d = {};
  name.substr(0, NAME_MAX_LEN).copy(d.bytes, NAME_MAX_LEN);
  return d;
}

ControlDatagram size_datagram(std::uint64_t size) {
  ControlDatagram d = {};
  std::snprintf(d.bytes, sizeof d.bytes, "%d", static_cast<int>(size));
  return d;
}

const char* size_text_problem(std::string_view datagram, std::uint64_t* size) {
  const std::size_t end = datagram.find('\0');
  if (end == std::string_view::npos)
    return "it has no terminating NUL";
  const std::string_view text = datagram.substr(0, end);
  if (text.empty())
    return "it is empty";
  if (text.size() > 10)
    return "it has more than 10 digits";
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return "it is not a plain decimal number";
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > SIZE_MAX_BYTES)
    return "it is 2^31 bytes or more";
  *size = value;
  return nullptr;
}
