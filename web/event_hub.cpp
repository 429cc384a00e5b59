#include "event_hub.h"

#include <algorithm>

namespace dio_webd {

Subscription::Wait Subscription::Next(std::chrono::milliseconds timeout, std::string *event) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return ended_ || !queue_.empty(); });
  // A dropped stream delivers nothing more: its client starts over from a
  // fresh snapshot, which the queued events would only contradict.
  if (ended_) return Wait::kEnded;
  if (queue_.empty()) return Wait::kTimeout;
  *event = std::move(queue_.front());
  queue_.pop_front();
  return Wait::kEvent;
}

EventHub::EventHub(size_t max_clients, size_t queue_limit)
    : max_clients_(max_clients), queue_limit_(queue_limit) {}

std::shared_ptr<Subscription> EventHub::Subscribe() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || subscriptions_.size() >= max_clients_) return nullptr;
  auto subscription = std::make_shared<Subscription>();
  subscriptions_.push_back(subscription);
  return subscription;
}

void EventHub::Unsubscribe(const std::shared_ptr<Subscription> &subscription) {
  const std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(
      std::remove(subscriptions_.begin(), subscriptions_.end(), subscription),
      subscriptions_.end());
}

void EventHub::Publish(const std::string &text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    Subscription &subscription = **it;
    std::unique_lock<std::mutex> stream(subscription.mutex_);
    if (subscription.queue_.size() < queue_limit_) {
      subscription.queue_.push_back(text);
      stream.unlock();
      subscription.ready_.notify_one();
      ++it;
      continue;
    }
    // Too far behind: the stream ends, its place is free at once, and what
    // it never got is counted.
    dropped_ += subscription.queue_.size() + 1;
    subscription.queue_.clear();
    subscription.ended_ = true;
    stream.unlock();
    subscription.ready_.notify_all();
    it = subscriptions_.erase(it);
  }
}

void EventHub::Close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  for (const auto &subscription : subscriptions_) {
    {
      const std::lock_guard<std::mutex> stream(subscription->mutex_);
      subscription->ended_ = true;
    }
    subscription->ready_.notify_all();
  }
  subscriptions_.clear();
}

size_t EventHub::clients() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return subscriptions_.size();
}

uint64_t EventHub::dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

// JSON from OneLine has no line break; any other text gets one "data:"
// line per line, which the browser joins again, rather than a broken frame.
std::string FrameEvent(const std::string &name, const std::string &json) {
  std::string frame = "event: " + name + "\n";
  size_t start = 0;
  for (;;) {
    const size_t end = json.find('\n', start);
    frame += "data: " + json.substr(start, end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return frame + "\n";
}

}  // namespace dio_webd
