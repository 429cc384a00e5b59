// Internal to the project's tools; not a stable interface.
//
// A daemon's thread that takes no signal: they all land on the main
// thread, whose poll they must wake (and under an emulator a signal on
// another thread can deadlock it).
//
// It is never joined: under qemu-user, the i386 tests' emulator,
// pthread_join fails with EDEADLK once the process has handled a signal, as
// a stopping service has. Wait() waits instead until the body has returned,
// told through a state the thread shares, so that the body's object may go
// once Wait() returns.
#ifndef VARNIK_TOOLS_QUIET_THREAD_H
#define VARNIK_TOOLS_QUIET_THREAD_H

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace varnik::tools {

class QuietThread {
 public:
  QuietThread() = default;
  QuietThread(const QuietThread &) = delete;
  QuietThread &operator=(const QuietThread &) = delete;
  ~QuietThread() { Wait(); }

  // Starts body on a new thread with every signal blocked (it inherits the
  // mask); the caller's mask stays as it was. Once only.
  template <typename Body>
  void Start(Body &&body) {
    auto done = std::make_shared<Done>();
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
      std::thread thread([done, body = std::forward<Body>(body)]() mutable {
        body();
        const std::lock_guard<std::mutex> lock(done->mutex);
        done->finished = true;
        done->changed.notify_all();
      });
      handle_ = thread.native_handle();
      thread.detach();
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    done_ = std::move(done);
  }

  // Until the body has returned (the caller has made it return); at once
  // when none was started.
  void Wait() {
    if (!done_) return;
    std::unique_lock<std::mutex> lock(done_->mutex);
    done_->changed.wait(lock, [this] { return done_->finished; });
    lock.unlock();
    done_.reset();
  }

  // The running thread's handle, for its scheduling.
  pthread_t handle() const { return handle_; }

 private:
  struct Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
  };

  std::shared_ptr<Done> done_;
  pthread_t handle_{};
};

}  // namespace varnik::tools

#endif
