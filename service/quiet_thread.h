// A thread of the service that takes no signal: they all land on the
// server's thread, whose ppoll() they must wake (and under an emulator a
// signal on another thread can deadlock it).
#ifndef DIO_BOARDD_QUIET_THREAD_H
#define DIO_BOARDD_QUIET_THREAD_H

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace dio_boardd {

// Starts body on a new thread with every signal blocked (it inherits the
// mask); the caller's mask stays as it was.
template <typename Body>
std::thread StartQuietThread(Body &&body) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread thread(std::forward<Body>(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
}

}  // namespace dio_boardd

#endif
