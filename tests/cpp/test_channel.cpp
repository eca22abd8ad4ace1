// The unbounded channel between the reader thread and the owner: order,
// many producers, refusal once nobody receives, and the end of the stream.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel.hpp"

namespace vorn {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// No wait in these tests may outlast this; a hang fails instead.
constexpr auto kPatience = 10s;

TEST(Channel, FirstInFirstOutAndNothingWhenEmpty) {
  auto [tx, rx] = make_channel<int>();
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(tx.send(i));
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(rx.try_recv(), i);
  int six = 6;
  ASSERT_TRUE(tx.send(six));
  std::vector<int> rest{0};
  EXPECT_EQ(rx.drain_into(rest), 3u);
  EXPECT_EQ(rest, (std::vector<int>{0, 4, 5, 6}));  // appended, oldest first
  EXPECT_EQ(rx.try_recv(), std::nullopt);
  EXPECT_EQ(rx.drain_into(rest), 0u);
}

TEST(Channel, BatchesAndSingleItemsKeepOneOrder) {
  auto [tx, rx] = make_channel<int>();
  int one = 1, four = 4;
  std::vector<int> batch{2, 3};
  ASSERT_TRUE(tx.send(one));
  ASSERT_TRUE(tx.send_all(batch));
  EXPECT_TRUE(batch.empty());
  ASSERT_TRUE(tx.send(four));
  std::vector<int> none;
  ASSERT_TRUE(tx.send_all(none));
  EXPECT_EQ(rx.try_recv(), 1);

  // Drained into an empty vector after a partial receive: only what is left.
  std::vector<int> out;
  EXPECT_EQ(rx.drain_into(out), 3u);
  EXPECT_EQ(out, (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(rx.try_recv(), std::nullopt);

  // A batch into the empty queue, then a single item behind it.
  batch = {5, 6};
  int seven = 7;
  ASSERT_TRUE(tx.send_all(batch));
  ASSERT_TRUE(tx.send(seven));
  out.clear();
  EXPECT_EQ(rx.drain_into(out), 3u);
  EXPECT_EQ(out, (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(rx.drain_into(out), 0u);
  EXPECT_EQ(out, (std::vector<int>{5, 6, 7}));
}

TEST(Channel, ManyProducersLoseNothingAndKeepTheirOrder) {
  constexpr int kProducers = 4;
  constexpr std::uint32_t kItems = 10000;
  using Item = std::pair<int, std::uint32_t>;  // producer, sequence number
  auto [tx, rx] = make_channel<Item>();

  // Half the producers send one by one, half in batches of 1 to 16.
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p, mine = Sender<Item>(tx)]() mutable {
      std::vector<Item> batch;
      for (std::uint32_t i = 0; i < kItems;) {
        if (p % 2 == 0) {
          Item item{p, i++};
          if (!mine.send(item)) return;
        } else {
          for (std::uint32_t n = 1 + i % 16; n > 0 && i < kItems; --n) batch.emplace_back(p, i++);
          if (!mine.send_all(batch)) return;
        }
      }
    });
  }
  {
    auto gone = std::move(tx);
  }  // only the producers' copies are left

  std::vector<std::uint32_t> next(kProducers, 0);
  std::vector<Item> got;
  bool in_order = true;
  RecvStatus status;
  const auto give_up = Clock::now() + kPatience;
  auto take = [&](Item item) { in_order = in_order && item.second == next[item.first]++; };
  for (int round = 0; (status = rx.wait(give_up)) == RecvStatus::Item; ++round) {
    if (round % 2 == 1) take(*rx.try_recv());  // leaves the rest part-taken
    got.clear();
    rx.drain_into(got);
    for (const auto& item : got) take(item);
  }
  for (auto& t : producers) t.join();

  EXPECT_EQ(status, RecvStatus::Disconnected);
  EXPECT_TRUE(in_order);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kItems) << "producer " << p;
}

TEST(Channel, SendIsRefusedOnceEveryReceiverIsGone) {
  auto [tx, rx] = make_channel<std::string>();
  auto second = std::make_optional<Receiver<std::string>>(rx);
  {
    auto gone = std::move(rx);
  }

  std::string text = "kept by the one receiver left";
  ASSERT_TRUE(tx.send(text));
  EXPECT_EQ(second->try_recv(), "kept by the one receiver left");

  second.reset();
  std::string refused = "handed back";
  EXPECT_FALSE(tx.send(refused));
  EXPECT_EQ(refused, "handed back");
  std::vector<std::string> batch{"all", "of", "them"};
  EXPECT_FALSE(tx.send_all(batch));
  EXPECT_EQ(batch, (std::vector<std::string>{"all", "of", "them"}));
}

TEST(Channel, QueuedItemsDieWithTheLastReceiver) {
  auto [tx, rx] = make_channel<std::shared_ptr<int>>();
  auto item = std::make_shared<int>(7);
  std::weak_ptr<int> watch = item;
  ASSERT_TRUE(tx.send(item));
  EXPECT_FALSE(watch.expired());
  {
    auto gone = std::move(rx);
  }
  EXPECT_TRUE(watch.expired());  // although a sender still holds the channel
}

TEST(Channel, WaitReportsItemTimeoutAndDisconnect) {
  auto [tx, rx] = make_channel<int>();
  auto spare = std::make_optional<Sender<int>>(tx);

  const auto before = Clock::now();
  EXPECT_EQ(rx.wait(before + 50ms), RecvStatus::Timeout);
  EXPECT_GE(Clock::now() - before, 50ms);

  int one = 1;
  ASSERT_TRUE(tx.send(one));
  EXPECT_EQ(rx.wait(Clock::now()), RecvStatus::Item);
  EXPECT_EQ(rx.wait(std::nullopt), RecvStatus::Item);  // waiting takes nothing
  EXPECT_EQ(rx.try_recv(), 1);

  // One sender left (the copy): still no disconnect.
  {
    auto gone = std::move(tx);
  }
  EXPECT_EQ(rx.wait(Clock::now() + 10ms), RecvStatus::Timeout);

  // Items sent before the last sender left are still delivered first.
  int two = 2;
  ASSERT_TRUE(spare->send(two));
  spare.reset();
  EXPECT_EQ(rx.wait(Clock::now() + kPatience), RecvStatus::Item);
  EXPECT_EQ(rx.try_recv(), 2);
  EXPECT_EQ(rx.wait(Clock::now() + kPatience), RecvStatus::Disconnected);
  EXPECT_EQ(rx.wait(std::nullopt), RecvStatus::Disconnected);
}

TEST(Channel, WaiterWakesForASendAndForTheLastSenderLeaving) {
  auto [tx, rx] = make_channel<int>();
  auto sender = std::make_optional<Sender<int>>(std::move(tx));

  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    int item = 42;
    sender->send(item);
  });
  auto start = Clock::now();
  EXPECT_EQ(rx.wait(start + kPatience), RecvStatus::Item);
  EXPECT_LT(Clock::now() - start, kPatience / 2);
  late.join();
  EXPECT_EQ(rx.try_recv(), 42);

  std::thread leaver([&] {
    std::this_thread::sleep_for(50ms);
    sender.reset();
  });
  start = Clock::now();
  EXPECT_EQ(rx.wait(start + kPatience), RecvStatus::Disconnected);
  EXPECT_LT(Clock::now() - start, kPatience / 2);
  leaver.join();
}

}  // namespace
}  // namespace vorn
