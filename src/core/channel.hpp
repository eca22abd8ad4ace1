// An unbounded first-in-first-out channel between threads. Any number of
// Sender and Receiver handles share one queue; sends never wait. A send is
// refused only when every Receiver is gone, and a receive reports the channel
// disconnected only when every Sender is gone and the queue is empty.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vorn {

namespace detail {
template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<T> items;
  std::size_t senders = 0;
  std::size_t receivers = 0;
};
}  // namespace detail

template <class T>
class Receiver;

template <class T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) { attach(); }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(const Sender&) = delete;
  Sender& operator=(Sender&&) = delete;
  ~Sender() { detach(); }

  // Takes the item (moving from it) and returns true, or returns false and
  // leaves the item untouched when no Receiver exists any more.
  bool send(T& item) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->receivers == 0) return false;
      state_->items.push_back(std::move(item));
    }
    state_->ready.notify_one();
    return true;
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : state_(std::move(s)) { attach(); }

  void attach() {
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  void detach() {
    if (!state_) return;  // moved from
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    if (last) state_->ready.notify_all();  // wake receivers to see the disconnect
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

enum class RecvStatus { Item, Timeout, Disconnected };

template <class T>
class Receiver {
 public:
  using Clock = std::chrono::steady_clock;

  Receiver(const Receiver& other) : state_(other.state_) { attach(); }
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(const Receiver&) = delete;
  Receiver& operator=(Receiver&&) = delete;
  ~Receiver() { detach(); }

  // The oldest item, without waiting; nothing when the queue is empty.
  std::optional<T> try_recv() {
    std::lock_guard lock(state_->mutex);
    return pop_locked();
  }

  // Waits until an item is queued, every Sender is gone, or `deadline` passes
  // (no deadline: wait without limit). Takes nothing from the queue.
  RecvStatus wait(std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(state_->mutex);
    auto settled = [&] { return !state_->items.empty() || state_->senders == 0; };
    if (deadline) {
      if (!state_->ready.wait_until(lock, *deadline, settled)) return RecvStatus::Timeout;
    } else {
      state_->ready.wait(lock, settled);
    }
    return state_->items.empty() ? RecvStatus::Disconnected : RecvStatus::Item;
  }

  // Moves every queued item to the back of `out`, oldest first; returns how many.
  template <class Container>
  std::size_t drain_into(Container& out) {
    std::deque<T> taken;
    {
      std::lock_guard lock(state_->mutex);
      taken.swap(state_->items);
    }
    for (auto& item : taken) out.push_back(std::move(item));
    return taken.size();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : state_(std::move(s)) { attach(); }

  std::optional<T> pop_locked() {
    if (state_->items.empty()) return std::nullopt;
    std::optional<T> item(std::move(state_->items.front()));
    state_->items.pop_front();
    return item;
  }
  void attach() {
    std::lock_guard lock(state_->mutex);
    ++state_->receivers;
  }
  void detach() {
    if (!state_) return;  // moved from
    std::deque<T> doomed;  // destroyed outside the lock
    std::lock_guard lock(state_->mutex);
    if (--state_->receivers == 0) doomed.swap(state_->items);
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// A new channel with one Sender and one Receiver.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace vorn
