// An unbounded multi-producer, single-consumer channel: test threads send
// their completion messages, the run loop receives them.
//
// Held through a shared_ptr by every sender, so a thread abandoned by a
// fail-fast return can still deliver its message after the run loop is gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace harness {

template <typename T>
class Channel {
 public:
  void send(T message) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(message));
    }
    ready_.notify_one();
  }

  // Waits as long as it takes for the next message; nothing once the
  // channel was woken and holds no more messages.
  std::optional<T> recv() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty() || woken_; });
    if (queue_.empty()) return std::nullopt;
    return pop_front();
  }

  // Waits until `deadline` at most; a deadline in the past only checks.
  // Nothing when the deadline passed or the channel was woken and is empty.
  template <typename Clock, typename Duration>
  std::optional<T> recv_until(std::chrono::time_point<Clock, Duration> deadline) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [this] { return !queue_.empty() || woken_; }) ||
        queue_.empty()) {
      return std::nullopt;
    }
    return pop_front();
  }

  // Ends every wait of the receiver, now and later, once the messages already
  // sent are received: the run loop is to stop waiting for tests.
  void wake() {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    ready_.notify_all();
  }

  bool woken() {
    std::lock_guard lock(mutex_);
    return woken_;
  }

 private:
  T pop_front() {
    T message = std::move(queue_.front());
    queue_.pop_front();
    return message;
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> queue_;
  bool woken_ = false;
};

}  // namespace harness
