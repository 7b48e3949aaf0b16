#include "quiet_thread.hpp"

#include <signal.h>

bool start_quiet_thread(pthread_t* thread, void* (*run)(void*), void* argument,
                        std::size_t stack_bytes) {
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) != 0)
    return false;
  ::pthread_attr_setstacksize(&attributes, stack_bytes);
  // The new thread starts with the signal mask in force: all blocked.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  // Unchecked: with a valid mask and attributes these calls cannot fail.
  (void)::pthread_sigmask(SIG_SETMASK, &all, &before);
  const bool started = ::pthread_create(thread, &attributes, run, argument) == 0;
  (void)::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  (void)::pthread_attr_destroy(&attributes);
  return started;
}
