#include "transfer.hpp"

#include <cstdio>
#include <cstring>

const char* name_problem(std::string_view name) {
  if (name.empty())
    return "it is empty";
  if (name.size() > NAME_MAX_LEN)
    return "it is longer than 19 characters";
  for (const char c : name) {
    if (c == '/')
      return "it contains '/'";
    if (is_control(c))
      return "it contains a control character";
  }
  char output[CTRL_LEN] = {};
  name.copy(output, name.size());
  to_output_name(output, name.size());
  const std::string_view out(output, name.size());
  if (out == "." || out == "..")
    return "its copy would be named '.' or '..'";
  return nullptr;
}

void to_output_name(char* name, std::size_t length) {
  // Right to left, so of two adjacent dots the left one is overwritten.
  for (std::size_t j = length; j-- > 1;)
    if (name[j] == '.')
      name[j - 1] = '1';
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
