// An unbounded first-in-first-out channel between threads. Any number of
// Sender and Receiver handles share one queue; sends never wait. A send is
// refused only when every Receiver is gone, and a receive reports the channel
// disconnected only when every Sender is gone and the queue is empty.
//
// The queue holds batches (vectors of items) rather than single items, so
// that a sender can hand over everything it produced at once and a receiver
// can take the whole queue, each in one short step under the lock. Storage of
// drained batches goes back to the senders through a small pool, so in a
// steady stream no item costs an allocation, and a long backlog is many
// modest blocks rather than one vector that has to grow by copying.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace vorn {

template <class T>
using Batches = std::vector<std::vector<T>>;

// Whether a send of a batch wakes a receiver blocked in wait().
enum class Wake {
  Now,
  // Only once kWakeBacklog items are queued: the sender has more to send at
  // once and spares both threads a wake-up per batch. It must end such a run
  // with a Wake::Now send or a call to wake().
  Later,
};
inline constexpr std::size_t kWakeBacklog = 512;

namespace detail {

// Emptied batches kept for reuse; enough for the reads between two drains of
// a consumer polling every few tens of milliseconds.
inline constexpr std::size_t kSpareBatches = 64;

template <class T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  // The queued items: those of each batch, batches oldest first, except the
  // first `head` items of the front batch, which try_recv has taken. No batch
  // here is empty, and head is 0 whenever the queue is.
  Batches<T> queued;
  std::size_t head = 0;
  std::size_t count = 0;  // items queued
  Batches<T> spare;       // empty, with storage; at most kSpareBatches
  std::size_t senders = 0;
  std::size_t receivers = 0;
  // Receivers blocked in wait(). Sends notify only while there are any: a
  // notification that nobody waits for still costs a system call.
  std::size_t waiting = 0;

  // A batch from the pool, or a new empty one. Called under the lock.
  std::vector<T> take_spare() {
    if (spare.empty()) return {};
    std::vector<T> batch = std::move(spare.back());
    spare.pop_back();
    return batch;
  }
  // Keeps an emptied batch's storage if the pool has room. Under the lock.
  void give_spare(std::vector<T>& batch) {
    if (spare.size() < kSpareBatches && batch.capacity() > 0) spare.push_back(std::move(batch));
  }
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
    bool wake;
    {
      std::lock_guard lock(state_->mutex);
      auto& s = *state_;
      if (s.receivers == 0) return false;
      if (s.queued.empty()) s.queued.push_back(s.take_spare());
      s.queued.back().push_back(std::move(item));
      ++s.count;
      wake = s.waiting > 0;
    }
    if (wake) state_->ready.notify_one();
    return true;
  }

  // Takes every item of `batch`, in order, and returns true; `batch` is left
  // empty, with storage from the pool when there was some. Returns false and
  // leaves `batch` untouched when no Receiver exists any more. An empty batch
  // with Wake::Now still wakes a waiting receiver if items are queued.
  bool send_all(std::vector<T>& batch, Wake when = Wake::Now) {
    bool wake;
    {
      std::lock_guard lock(state_->mutex);
      auto& s = *state_;
      if (s.receivers == 0) return false;
      if (!batch.empty()) {
        s.count += batch.size();
        s.queued.push_back(std::move(batch));
        batch = s.take_spare();
      }
      wake = s.waiting > 0 && s.count > 0 && (when == Wake::Now || s.count >= kWakeBacklog);
    }
    if (wake) state_->ready.notify_one();
    return true;
  }

  // Wakes a receiver blocked in wait() if items are queued: the end of a run
  // of Wake::Later sends.
  void wake() {
    std::vector<T> none;
    send_all(none);
  }

  // Around fork(): hold_for_fork() takes the channel's lock in the forking
  // thread, so that no other thread holds it or is half-way through a change
  // when the process is copied; release_after_fork() gives it back, in the
  // child after renewing the condition, whose waiters and wakers (threads the
  // child does not have) may have left it in any state.
  void hold_for_fork() { state_->mutex.lock(); }
  void release_after_fork(bool in_child) {
    if (in_child) {
      std::construct_at(&state_->ready);
      state_->waiting = 0;
    }
    state_->mutex.unlock();
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

  // The oldest item, without waiting; nothing when the queue is empty. Used
  // on short queues (the error channel): finishing a batch shifts the list.
  std::optional<T> try_recv() {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    if (s.count == 0) return std::nullopt;
    std::vector<T>& front = s.queued.front();
    std::optional<T> item(std::move(front[s.head++]));
    --s.count;
    if (s.head == front.size()) {
      front.clear();
      s.give_spare(front);
      s.queued.erase(s.queued.begin());
      s.head = 0;
    }
    return item;
  }

  // Waits until an item is queued, every Sender is gone, or `deadline` passes
  // (no deadline: wait without limit). Takes nothing from the queue.
  RecvStatus wait(std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(state_->mutex);
    auto settled = [&] { return state_->count > 0 || state_->senders == 0; };
    if (!settled()) {
      ++state_->waiting;
      bool in_time = true;
      if (deadline) {
        in_time = state_->ready.wait_until(lock, *deadline, settled);
      } else {
        state_->ready.wait(lock, settled);
      }
      --state_->waiting;
      if (!in_time) return RecvStatus::Timeout;
    }
    return state_->count == 0 ? RecvStatus::Disconnected : RecvStatus::Item;
  }

  // Moves every queued batch to the back of `out`, oldest first, without
  // waiting; returns how many items they hold. Hand the batches back with
  // recycle() once their items are used up.
  std::size_t drain_batches(Batches<T>& out) {
    const std::size_t before = out.size();
    Batches<T> taken;
    std::size_t count, head;
    {
      std::lock_guard lock(state_->mutex);
      // An empty `out` takes the whole list and leaves its own storage to the queue.
      (before == 0 ? out : taken).swap(state_->queued);
      count = std::exchange(state_->count, 0);
      head = std::exchange(state_->head, 0);
    }
    for (auto& batch : taken) out.push_back(std::move(batch));
    if (head > 0) out[before].erase(out[before].begin(), out[before].begin() + static_cast<std::ptrdiff_t>(head));
    return count;
  }

  // Gives the storage of drained batches back to the senders; leaves `used` empty.
  void recycle(Batches<T>& used) {
    for (auto& batch : used) batch.clear();  // the items die outside the lock
    {
      std::lock_guard lock(state_->mutex);
      for (auto& batch : used) state_->give_spare(batch);
    }
    used.clear();  // frees what the pool had no room for
  }

  // Moves every queued item to the back of `out`, oldest first; returns how many.
  template <class Container>
  std::size_t drain_into(Container& out) {
    Batches<T> taken;
    const std::size_t count = drain_batches(taken);
    for (auto& batch : taken) {
      for (auto& item : batch) out.push_back(std::move(item));
    }
    recycle(taken);
    return count;
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : state_(std::move(s)) { attach(); }

  void attach() {
    std::lock_guard lock(state_->mutex);
    ++state_->receivers;
  }
  void detach() {
    if (!state_) return;  // moved from
    Batches<T> doomed;    // destroyed outside the lock
    std::lock_guard lock(state_->mutex);
    if (--state_->receivers == 0) {
      doomed.swap(state_->queued);
      state_->count = 0;
      state_->head = 0;
    }
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
