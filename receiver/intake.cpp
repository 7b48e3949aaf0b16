#include "intake.hpp"

#include "shown.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

std::size_t Intake::expected_length() const {
  switch (stage_) {
  case Stage::name:
  case Stage::size:
    return CTRL_LEN;
  case Stage::blocks:
    return BLOCK_SIZE;
  case Stage::final_block:
    return final_length(size_);
  case Stage::done:
  case Stage::refused:
    break;
  }
  return 0;
}

bool Intake::take(const char* data, std::size_t length) {
  switch (stage_) {
  case Stage::name:
    return take_name(data, length);
  case Stage::size:
    return take_size(data, length);
  case Stage::blocks:
  case Stage::final_block:
    return take_block(length);
  case Stage::done:
    return refuse("a datagram of %zu bytes came after the whole file", length);
  case Stage::refused:
    break;
  }
  return false;
}

bool Intake::refuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above; clang 14 misses va_start in member functions
  std::vsnprintf(reason_, sizeof reason_, format, args);
  va_end(args);
  stage_ = Stage::refused;
  return false;
}

bool Intake::take_name(const char* data, std::size_t length) {
  if (length != CTRL_LEN)
    return refuse("a first datagram of %zu bytes, not %zu: not a ferry transfer", length, CTRL_LEN);
  const void* nul = std::memchr(data, '\0', CTRL_LEN);
  if (nul == nullptr)
    return refuse("refused the name \"%s\": it has 20 or more bytes",
                  shown(std::string_view(data, CTRL_LEN)).text);
  const std::string_view name(data, static_cast<std::size_t>(static_cast<const char*>(nul) - data));
  if (const char* problem = name_problem(name))
    return refuse("refused the name \"%s\": %s", shown(name).text, problem);
  name.copy(sent_name_, name.size());
  name.copy(output_name_, name.size());
  to_output_name(output_name_, name.size());
  name_length_ = name.size();
  stage_ = Stage::size;
  return true;
}

bool Intake::take_size(const char* data, std::size_t length) {
  if (length != CTRL_LEN)
    return refuse("the size datagram has %zu bytes, not %zu", length, CTRL_LEN);
  const std::string_view text(data, length);
  if (const char* problem = size_text_problem(text, &size_))
    return refuse("refused the size \"%s\": %s", shown(text.substr(0, text.find('\0'))).text,
                  problem);
  stage_ = full_blocks(size_) > 0 ? Stage::blocks : Stage::final_block;
  return true;
}

bool Intake::take_block(std::size_t length) {
  const std::size_t expected = expected_length();
  if (length != expected)
    return refuse("datagram lost or added: %zu bytes came where %zu were due", length, expected);
  received_ += length;
  if (stage_ == Stage::final_block)
    stage_ = Stage::done;
  else if (received_ == full_blocks(size_) * BLOCK_SIZE)
    stage_ = Stage::final_block;
  return true;
}

Arrival::Content Arrival::feed(Intake& intake, const char* data, Stage until) {
  Content content;
  while (left_ && intake.stage() < until) {
    const std::size_t n = std::min(segment_, length_ - offset_);
    const Stage before = intake.stage();
    if (!intake.take(data + offset_, n))
      return content;
    if (before == Stage::blocks || before == Stage::final_block) {
      if (content.length == 0)
        content.offset = offset_;
      content.length += n;
    }
    offset_ += n;
    left_ = offset_ < length_;
  }
  return content;
}
