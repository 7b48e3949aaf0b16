// A second thread for work that blocks (a flush, the beat), started with
// a small stack and every signal blocked: signals stay with the main
// thread, whose handlers and held sections the clean-up relies on.
#pragma once

#include <pthread.h>

#include <cstddef>

// Starts `run(argument)`; false where no thread can be started.
bool start_quiet_thread(pthread_t* thread, void* (*run)(void*), void* argument,
                        std::size_t stack_bytes);
