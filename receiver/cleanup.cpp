#include "cleanup.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "status_line.hpp"

namespace {

// The one named temporary file in existence; empty when there is none.
// Written only while SignalsHeld, so a handler never sees a file without
// its name or a name half-written.
char pending[32];

void on_fatal_signal(int signal) {
  erase_status_now();
  remove_pending();
  // The default action, now: end the process, with a core where it is due.
  // Unchecked: both cannot fail for a signal that was just delivered.
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

// Every signal whose default ends the process, with or without a core.
constexpr int FATAL_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGALRM,
                                 SIGUSR1, SIGUSR2, SIGXFSZ, SIGXCPU, SIGVTALRM, SIGPROF,
                                 SIGPOLL, SIGPWR,  SIGABRT, SIGSEGV, SIGBUS,    SIGFPE,
                                 SIGILL,  SIGSYS,  SIGTRAP};

} // namespace

void arm_cleanup() {
  static const bool armed = [] {
    (void)std::atexit(remove_pending); // 32 registrations are guaranteed; this is one of two
    for (const int signal : FATAL_SIGNALS) {
      struct sigaction now {};
      // One the user set to be ignored (nohup, say) stays ignored.
      if (::sigaction(signal, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
        continue;
      struct sigaction handler {};
      handler.sa_handler = on_fatal_signal;
      sigfillset(&handler.sa_mask);
      // With a valid signal and handler this cannot fail; if it did, that
      // signal would end wharf with the temporary file left, as before.
      (void)::sigaction(signal, &handler, nullptr);
    }
    return true;
  }();
  (void)armed;
}

SignalsHeld::SignalsHeld() {
  sigset_t all;
  sigfillset(&all);
  // Unchecked: with a valid mask sigprocmask cannot fail.
  (void)::sigprocmask(SIG_BLOCK, &all, &before_);
}

SignalsHeld::~SignalsHeld() {
  (void)::sigprocmask(SIG_SETMASK, &before_, nullptr);
}

void remove_on_exit(const char* path) {
  std::strncpy(pending, path, sizeof pending - 1);
}

void keep_on_exit() {
  pending[0] = '\0';
}

void remove_pending() {
  // Unchecked: on the way out there is no one left to tell.
  if (pending[0] != '\0')
    (void)::unlink(pending);
  pending[0] = '\0';
}
