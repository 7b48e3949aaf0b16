#include "line_editor.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "source_file.hpp"
#include "transfer.hpp"

#ifdef FERRY_LINE_EDITOR
#include <editline/readline.h>
#endif

bool offered(const char* name) {
  // One word: a line of more is refused.
  if (name[std::strcspn(name, " \t\n\v\f\r")] != '\0' || name_problem(name) != nullptr)
    return false;
  // Only a regular file is opened to be judged: opening a device may do
  // something.
  struct stat st {};
  if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  Source source;
  return !open_source(name, &source);
}

#ifdef FERRY_LINE_EDITOR

namespace {

// The names of the current folder that start with `text`, one a call, as
// the editor asks for them: `state` is 0 for the first.
char* next_name(const char* text, int state) {
  static DIR* folder = nullptr;
  if (state == 0) {
    if (folder != nullptr)
      ::closedir(folder);
    folder = ::opendir(".");
  }
  const std::size_t length = std::strlen(text);
  while (folder != nullptr) {
    const dirent* entry = ::readdir(folder);
    if (entry == nullptr)
      break;
    if (std::strncmp(entry->d_name, text, length) == 0 && offered(entry->d_name))
      return ::strdup(entry->d_name);
  }
  if (folder != nullptr)
    ::closedir(folder);
  folder = nullptr;
  return nullptr;
}

char** complete(const char* text, int /*start*/, int /*end*/) {
  // Only names from this folder: never the editor's own file names.
  rl_attempted_completion_over = 1;
  return rl_completion_matches(text, next_name);
}

} // namespace

bool have_line_editor() {
  return true;
}

EditedLine::EditedLine(const char* prompt) {
  rl_attempted_completion_function = complete;
  rl_completion_append_character = ' ';
  for (;;) {
    text_ = ::readline(prompt);
    if (text_ == nullptr || text_[std::strspn(text_, " \t")] != '\0')
      return;
    std::free(text_);
  }
}

#else

bool have_line_editor() {
  return false;
}

EditedLine::EditedLine(const char* /*prompt*/) {}

#endif

EditedLine::~EditedLine() {
  std::free(text_);
}
