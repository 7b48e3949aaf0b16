// ferry's prompt at a terminal, read through a line editor (libedit, where
// the build has it): the arrow keys, Home and End, Ctrl-A/E/U/W edit, Tab
// completes the names ferry would send from the current folder, and Tab
// twice lists them. No history is kept.
#pragma once

#include <string_view>

// Whether this build has the line editor.
bool have_line_editor();

// One line typed at `prompt`, with editing; an empty line asks again.
class EditedLine {
public:
  explicit EditedLine(const char* prompt);
  ~EditedLine();
  EditedLine(const EditedLine&) = delete;
  EditedLine& operator=(const EditedLine&) = delete;
  // The input ended (Ctrl-D on an empty line) instead.
  bool ended() const { return text_ == nullptr; }
  std::string_view text() const { return text_ == nullptr ? std::string_view() : text_; }

private:
  char* text_ = nullptr;
};

// Whether `name` in the current folder is one that completion offers: one
// that ferry would send (one word, a name the datagram takes and not
// hidden, a regular file under 2 GiB that the user may read, not through
// another user's link).
bool offered(const char* name);
