// Internal to the project's tools; not a stable interface.
//
// A daemon's log lines, written by a thread of their own: a reader of
// standard error that stops reading (a terminal on Ctrl-S, a pager, a
// stalled journal) then blocks that thread only, never the daemon's loop.
// The queue is bounded; what does not fit is counted, and once the writer
// can write again one line says how many lines were dropped there.
//
// The descriptor is written as it is: its flags are never changed, since an
// inherited standard error is shared with the shell or the journal.
#ifndef VARNIK_TOOLS_LOG_QUEUE_H
#define VARNIK_TOOLS_LOG_QUEUE_H

#include <chrono>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace varnik::tools {

class LogQueue {
 public:
  // Starts the writer on fd (not owned) with room for capacity lines. The
  // writer blocks every signal, so that they land on the daemon's thread.
  LogQueue(int fd, size_t capacity);
  // Close(kDefaultDrainWait) unless Close was called.
  ~LogQueue();
  LogQueue(const LogQueue &) = delete;
  LogQueue &operator=(const LogQueue &) = delete;

  static constexpr std::chrono::milliseconds kDefaultDrainWait{2000};

  // Queues line (a line end is added), or counts it dropped when the queue
  // is full or closed. Never waits for the descriptor.
  void Push(std::string line);

  // Lines dropped so far.
  uint64_t dropped() const;

  // Lets the writer write what is queued, waiting at most wait for it;
  // true when all of it was written. A writer still blocked then is left
  // behind (it ends with the process), so a stalled reader cannot hold up
  // the daemon's exit.
  bool Close(std::chrono::milliseconds wait);

  struct Shared;  // the queue, shared with the writer thread

 private:
  std::shared_ptr<Shared> shared_;
  std::thread writer_;
  bool closed_ = false;
};

// "3 log lines dropped (standard error was not read)"
std::string DroppedLinesNotice(uint64_t count);

// For as long as it lives, PrintError and PrintLine (tool_messages.h) go
// through a LogQueue on standard error: a daemon's whole log, from the
// moment its command line is read.
class QueuedMessages {
 public:
  // Throws std::system_error when the writer thread cannot start.
  QueuedMessages(size_t capacity, std::chrono::milliseconds drain_wait);
  // Drains the queue, waiting at most drain_wait; later lines go to
  // standard error directly.
  ~QueuedMessages();
  QueuedMessages(const QueuedMessages &) = delete;
  QueuedMessages &operator=(const QueuedMessages &) = delete;

 private:
  LogQueue queue_;
  std::chrono::milliseconds drain_wait_;
};

// A daemon's run after its command line was read: run() with the log
// through a QueuedMessages of 8,192 lines (about a megabyte waits for a
// reader that stopped reading), which a stop waits for at most 1 s. A
// writer thread that cannot start is reported: status kExitDeviceError.
int RunWithQueuedLog(const std::function<int()> &run);

}  // namespace varnik::tools

#endif
