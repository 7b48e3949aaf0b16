// What a helper that failed hands back: a value main prints in one line
// before it exits. Either a system call's label with the errno it met,
// printed as "bind: Address already in use", or a message of the program's
// own, formatted where the figures for it are known. No heap.
#pragma once

#include <cstddef>

class Failure {
public:
  // No failure: the step went through.
  Failure() = default;
  // The system call `label` failed with the errno in force now.
  static Failure call(const char* label);
  // A message of the program's own, after "<program>: ".
  static Failure said(const char* format, ...) __attribute__((format(printf, 1, 2)));

  explicit operator bool() const { return label_ != nullptr || text_[0] != '\0'; }
  const char* label() const { return label_; }
  int error() const { return error_; }
  const char* text() const { return text_; }

private:
  const char* label_ = nullptr;
  int error_ = 0;
  char text_[224] = {};
};
