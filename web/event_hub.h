// The event streams' clients (GET /api/v1/events): each one's queue of
// Server-Sent Events, filled by the event pump, emptied by the client's
// request thread. A client that falls too far behind loses its stream (its
// browser reconnects and starts from a fresh snapshot) and its queued
// events are counted as dropped; a full house refuses new clients.
#ifndef DIO_WEBD_EVENT_HUB_H
#define DIO_WEBD_EVENT_HUB_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dio_webd {

// One client's stream, shared by the hub and the client's request thread.
class Subscription {
 public:
  enum class Wait { kEvent, kTimeout, kEnded };

  // Waits up to timeout for the next event (SSE-framed text into *event).
  // kEnded once the hub closed or dropped this stream: the thread ends it.
  Wait Next(std::chrono::milliseconds timeout, std::string *event);

 private:
  friend class EventHub;

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> queue_;
  bool ended_ = false;
};

class EventHub {
 public:
  // At most max_clients streams at once, each with at most queue_limit
  // events waiting.
  EventHub(size_t max_clients, size_t queue_limit);

  // A new stream, or nullptr when max_clients are streaming (or the hub is
  // closed).
  std::shared_ptr<Subscription> Subscribe();
  // The stream's client is gone: its place is free.
  void Unsubscribe(const std::shared_ptr<Subscription> &subscription);

  // One event to every stream: text is SSE-framed (FrameEvent). A stream
  // with queue_limit events waiting is ended instead, its events dropped.
  void Publish(const std::string &text);

  // Ends every stream and refuses new ones: at a stop.
  void Close();

  size_t clients() const;
  // Events never delivered, since their stream fell behind.
  uint64_t dropped() const;

 private:
  const size_t max_clients_;
  const size_t queue_limit_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Subscription>> subscriptions_;
  bool closed_ = false;
  uint64_t dropped_ = 0;
};

// "event: NAME\ndata: JSON\n\n" (json is one line).
std::string FrameEvent(const std::string &name, const std::string &json);

}  // namespace dio_webd

#endif
