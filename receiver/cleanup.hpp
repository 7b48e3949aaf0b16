// wharf's one named temporary file, removed however wharf ends: on exit
// and on every fatal signal it can catch (not SIGKILL, nor a power loss).
#pragma once

#include <signal.h>

// Installs the exit and signal handlers, once. Before any named file exists.
void arm_cleanup();

// Holds back every signal while a named file and the name the handlers
// would remove may disagree.
class SignalsHeld {
public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
  sigset_t before_{};
};

// The name the handlers remove from now on (at most 31 bytes); call while
// SignalsHeld.
void remove_on_exit(const char* path);
// The file has its final name: nothing is to be removed. Call while
// SignalsHeld.
void keep_on_exit();
// Removes the named temporary file now, if there is one.
void remove_pending();
