// What a helper that failed hands back: a value main prints in one line
// before it exits. Either a system call's label with the errno it met,
// printed as "bind: Address already in use", or a message of the program's
// own, formatted where the figures for it are known, to which main adds
// what the failure means for the transfer (Outcome). No heap.
#pragma once

#include <cstdarg>
#include <cstddef>

// What a failure means for the transfer, by how far it had got: the one
// place these words are written.
enum class Outcome {
  nothing_sent, // "nothing sent": ferry failed before its name went out
  no_copy,      // "no copy made"
};

class Failure {
public:
  // No failure: the step went through.
  Failure() = default;
  // The system call `label` failed with the errno in force now.
  static Failure call(const char* label);
  // A message of the program's own, after "<program>: ", to which the
  // outcome is added.
  static Failure said(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // One that says all there is, its outcome included.
  static Failure told(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // A line of its own, printed as it is, with no program name before it.
  static Failure bare(const char* line);
  bool is_bare() const { return bare_; }
  // The same failure with `outcome` added to a message that wants one.
  Failure with(Outcome outcome) const;

  explicit operator bool() const { return label_ != nullptr || text_[0] != '\0'; }
  const char* label() const { return label_; }
  int error() const { return error_; }
  const char* text() const { return text_; }

private:
  static Failure formatted(bool told, const char* format, va_list args);

  const char* label_ = nullptr;
  int error_ = 0;
  bool told_ = false;
  bool bare_ = false;
  char text_[224] = {};
};

// No failure where `ok`; else the system call `label`, with errno.
inline Failure called(const char* label, bool ok) {
  return ok ? Failure() : Failure::call(label);
}
