#include "log_queue.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "tool_messages.h"

namespace varnik::tools {

struct LogQueue::Shared {
  Shared(int descriptor, size_t room) : fd(descriptor), capacity(room) {}

  const int fd;
  const size_t capacity;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;  // each with its line end
  size_t in_flight = 0;            // lines the writer took and is writing
  uint64_t dropped_unreported = 0;
  uint64_t dropped_total = 0;
  bool closing = false;
  bool finished = false;
};

namespace {

// All of text, or as much as the descriptor takes before it fails for good
// (the reader gone: EPIPE, with SIGPIPE ignored). A descriptor someone else
// made non-blocking is waited for rather than spun on.
void WriteAll(int fd, const std::string &text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t put = write(fd, text.data() + written, text.size() - written);
    if (put > 0) {
      written += static_cast<size_t>(put);
    } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd entry = {fd, POLLOUT, 0};
      poll(&entry, 1, -1);
    } else if (!(put < 0 && errno == EINTR)) {
      return;
    }
  }
}

// The writer thread's body; its share of the queue keeps the queue alive
// for as long as it runs.
void WriteLines(std::shared_ptr<LogQueue::Shared> queue) {
  LogQueue::Shared &shared = *queue;
  for (;;) {
    std::vector<std::string> batch;
    uint64_t dropped = 0;
    {
      std::unique_lock<std::mutex> lock(shared.mutex);
      shared.in_flight = 0;
      shared.changed.wait(lock, [&] {
        return !shared.lines.empty() || shared.dropped_unreported > 0 || shared.closing;
      });
      if (shared.lines.empty() && shared.dropped_unreported == 0) {
        shared.finished = true;
        shared.changed.notify_all();
        return;
      }
      batch.swap(shared.lines);
      shared.in_flight = batch.size();
      dropped = std::exchange(shared.dropped_unreported, 0);
    }
    // The dropped lines came after this batch: the queue only fills up
    // between two takes, and drops only when full.
    std::string text;
    for (const std::string &line : batch) text += line;
    if (dropped > 0) text += DroppedLinesNotice(dropped) + "\n";
    WriteAll(shared.fd, text);
  }
}

}  // namespace

LogQueue::LogQueue(int fd, size_t capacity) : shared_(std::make_shared<Shared>(fd, capacity)) {
  // The thread starts with every signal blocked (it inherits the mask), so
  // a stop signal always wakes the daemon's own poll().
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    writer_ = std::thread(WriteLines, shared_);
  } catch (...) {  // no thread: the caller's signals must not stay blocked
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

LogQueue::~LogQueue() {
  if (!closed_) Close(kDefaultDrainWait);
}

void LogQueue::Push(std::string line) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->closing) {  // counted, not reported: the writer may be gone
      ++shared_->dropped_total;
      return;
    }
    if (shared_->lines.size() + shared_->in_flight >= shared_->capacity) {
      ++shared_->dropped_total;
      ++shared_->dropped_unreported;
      return;
    }
    line += '\n';
    shared_->lines.push_back(std::move(line));
  }
  shared_->changed.notify_all();
}

uint64_t LogQueue::dropped() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->dropped_total;
}

bool LogQueue::Close(std::chrono::milliseconds wait) {
  if (closed_) return true;
  closed_ = true;
  bool finished;
  {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->closing = true;
    shared_->changed.notify_all();
    finished = shared_->changed.wait_for(lock, wait, [&] { return shared_->finished; });
  }
  // Never joined: a writer still blocked in write() ends with the process,
  // and a finished one only returns, holding its own share of the queue.
  // (Under qemu-user, the i386 tests' emulator, pthread_join fails with
  // EDEADLK once the process has handled a signal, as a stopped daemon has.)
  writer_.detach();
  return finished;
}

std::string DroppedLinesNotice(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " log line" : " log lines") +
         " dropped (standard error was not read)";
}

QueuedMessages::QueuedMessages(size_t capacity, std::chrono::milliseconds drain_wait)
    : queue_(STDERR_FILENO, capacity), drain_wait_(drain_wait) {
  SetMessageSink([this](const std::string &line) { queue_.Push(line); });
}

QueuedMessages::~QueuedMessages() {
  SetMessageSink({});
  queue_.Close(drain_wait_);
}

int RunWithQueuedLog(const std::function<int()> &run) {
  constexpr size_t kLines = 8192;
  constexpr std::chrono::milliseconds kDrainWait{1000};
  std::optional<QueuedMessages> messages;
  try {
    messages.emplace(kLines, kDrainWait);
  } catch (const std::system_error &e) {
    PrintError(std::string("cannot start the log writer: ") + e.what());
    return kExitDeviceError;
  }
  return run();
}

}  // namespace varnik::tools
