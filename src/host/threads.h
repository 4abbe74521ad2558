// Threads of the extension's own, for work that touches no host object (file system work,
// child processes). Every signal is blocked in them, so that a signal meant for the host
// interrupts the thread that waits for them, where the host's handlers run.
#pragma once

#include <pthread.h>
#include <csignal>

#include <thread>
#include <utility>

namespace vornik::host {

// Starts `work` on a new thread with every signal blocked, and returns the thread; throws
// std::system_error when none can be made. `caller_mask`, when given, receives the signal mask
// of the calling thread (for children started from the new thread).
template <class Work>
std::thread quiet_thread(Work&& work, sigset_t* caller_mask = nullptr) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  if (caller_mask != nullptr) *caller_mask = before;
  try {
    std::thread thread(std::forward<Work>(work));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return thread;
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    throw;
  }
}

}  // namespace vornik::host
