// The channel's batch path, which the reader thread and the binding use:
// whole batches in and out, storage handed back and reused, single sends and
// receives mixed with it in any order, and deferred wake-ups.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel.hpp"

namespace vorn {
namespace {

std::vector<int> flat(const Batches<int>& batches) {
  std::vector<int> out;
  for (const auto& batch : batches) out.insert(out.end(), batch.begin(), batch.end());
  return out;
}

TEST(ChannelBatches, BatchesAndSingleItemsKeepOneOrder) {
  auto [tx, rx] = make_channel<int>();
  std::vector<int> batch{1, 2, 3};
  ASSERT_TRUE(tx.send_all(batch));
  EXPECT_TRUE(batch.empty());
  int four = 4;
  ASSERT_TRUE(tx.send(four));
  std::vector<int> none;
  ASSERT_TRUE(tx.send_all(none));  // nothing queued, nothing woken
  batch = {5, 6};
  ASSERT_TRUE(tx.send_all(batch));

  // A receive in between takes from the front batch only.
  EXPECT_EQ(rx.try_recv(), 1);
  Batches<int> got{{0}};  // appended after what is there
  EXPECT_EQ(rx.drain_batches(got), 5u);
  EXPECT_EQ(flat(got), (std::vector<int>{0, 2, 3, 4, 5, 6}));
  for (std::size_t i = 1; i < got.size(); ++i) EXPECT_FALSE(got[i].empty());

  EXPECT_EQ(rx.try_recv(), std::nullopt);
  EXPECT_EQ(rx.wait(Receiver<int>::Clock::now()), RecvStatus::Timeout);
  Batches<int> empty;
  EXPECT_EQ(rx.drain_batches(empty), 0u);
  EXPECT_TRUE(empty.empty());

  // Taking the front batch item by item to its end, then more behind it.
  batch = {7, 8};
  ASSERT_TRUE(tx.send_all(batch));
  batch = {9};
  ASSERT_TRUE(tx.send_all(batch));
  EXPECT_EQ(rx.try_recv(), 7);
  EXPECT_EQ(rx.try_recv(), 8);
  std::vector<int> rest;
  EXPECT_EQ(rx.drain_into(rest), 1u);
  EXPECT_EQ(rest, (std::vector<int>{9}));
}

TEST(ChannelBatches, DrainedStorageGoesBackToTheSender) {
  auto [tx, rx] = make_channel<std::string>();
  std::vector<std::string> batch;
  batch.reserve(16);
  batch.emplace_back("a long enough text to live on the heap, not inline");
  const std::string* storage = batch.data();
  ASSERT_TRUE(tx.send_all(batch));
  EXPECT_EQ(batch.capacity(), 0u);  // nothing in the pool yet

  Batches<std::string> got;
  ASSERT_EQ(rx.drain_batches(got), 1u);
  EXPECT_EQ(got.at(0).data(), storage);  // the very storage sent: no item was moved
  EXPECT_EQ(got[0][0], "a long enough text to live on the heap, not inline");
  rx.recycle(got);
  EXPECT_TRUE(got.empty());

  batch.emplace_back("x");
  ASSERT_TRUE(tx.send_all(batch));
  EXPECT_EQ(batch.data(), storage);  // the recycled storage, empty, for the next batch
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(rx.try_recv(), "x");
}

TEST(ChannelBatches, RefusedBatchIsLeftWholeAndQueuedBatchesDieWithTheReceiver) {
  auto [tx, rx] = make_channel<std::shared_ptr<int>>();
  auto item = std::make_shared<int>(1);
  std::weak_ptr<int> watch = item;
  std::vector<std::shared_ptr<int>> batch{item};
  item.reset();
  ASSERT_TRUE(tx.send_all(batch));
  EXPECT_FALSE(watch.expired());
  {
    auto gone = std::move(rx);
  }
  EXPECT_TRUE(watch.expired());

  batch = {std::make_shared<int>(2), std::make_shared<int>(3)};
  EXPECT_FALSE(tx.send_all(batch));
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(*batch[1], 3);
}

TEST(ChannelBatches, WaiterWakesForABatch) {
  auto [tx, rx] = make_channel<int>();
  std::thread late([&tx] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<int> batch{1, 2};
    tx.send_all(batch);
  });
  const auto start = Receiver<int>::Clock::now();
  EXPECT_EQ(rx.wait(start + std::chrono::seconds(10)), RecvStatus::Item);
  EXPECT_LT(Receiver<int>::Clock::now() - start, std::chrono::seconds(5));
  late.join();
  std::vector<int> got;
  EXPECT_EQ(rx.drain_into(got), 2u);
  EXPECT_EQ(got, (std::vector<int>{1, 2}));
}

// A receiver blocked in wait() and what woke it, timed from the start of the wait.
struct BlockedWaiter {
  using Clock = Receiver<int>::Clock;
  explicit BlockedWaiter(Receiver<int>& rx, Clock::duration patience)
      : thread([this, &rx, patience] {
          const auto start = Clock::now();
          status = rx.wait(start + patience);
          waited = Clock::now() - start;
        }) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
  }
  Clock::duration join() {
    thread.join();
    return waited;
  }
  RecvStatus status = RecvStatus::Timeout;
  Clock::duration waited{};
  std::thread thread;
};

TEST(ChannelBatches, LaterSendsWakeAWaiterOnlyWhenTheyPileUpOrTheSenderSaysSo) {
  using namespace std::chrono_literals;
  auto [tx, rx] = make_channel<int>();

  // Below the backlog a Later send leaves the waiter to its deadline; what
  // was queued is there when it looks.
  {
    BlockedWaiter waiter(rx, 300ms);
    std::vector<int> batch{1, 2, 3};
    ASSERT_TRUE(tx.send_all(batch, Wake::Later));
    EXPECT_GE(waiter.join(), 250ms);
    EXPECT_EQ(waiter.status, RecvStatus::Item);
  }
  std::vector<int> got;
  rx.drain_into(got);

  // Enough queued by Later sends wakes it at once.
  {
    BlockedWaiter waiter(rx, 10s);
    std::vector<int> batch(kWakeBacklog - 1, 7);
    ASSERT_TRUE(tx.send_all(batch, Wake::Later));
    batch = {8};
    ASSERT_TRUE(tx.send_all(batch, Wake::Later));
    EXPECT_LT(waiter.join(), 5s);
    EXPECT_EQ(waiter.status, RecvStatus::Item);
  }
  got.clear();
  EXPECT_EQ(rx.drain_into(got), kWakeBacklog);

  // So does the end of a run: wake(), or a Now send even of nothing.
  for (const bool by_wake : {true, false}) {
    BlockedWaiter waiter(rx, 10s);
    std::vector<int> batch{9};
    ASSERT_TRUE(tx.send_all(batch, Wake::Later));
    if (by_wake) {
      tx.wake();
    } else {
      std::vector<int> none;
      ASSERT_TRUE(tx.send_all(none, Wake::Now));
    }
    EXPECT_LT(waiter.join(), 5s) << (by_wake ? "wake()" : "empty Now send");
    EXPECT_EQ(rx.try_recv(), 9);
  }
}

}  // namespace
}  // namespace vorn
