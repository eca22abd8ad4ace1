// When the reader wakes a drain that waits for records: from a regular file
// it may leave the wake-up for later (its reads never wait), from anything
// that can wait for input it may not.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "packet_builders.hpp"
#include "parser.hpp"
#include "protocol.hpp"

namespace vorn {
namespace {

using test::Bytes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// `n` raw packets of exactly 256 bytes each, so that 8 fill one read window.
Bytes packets_of_256(std::uint32_t n) {
  Bytes out;
  for (std::uint32_t i = 0; i < n; ++i) {
    const Bytes pk = test::packet(kRawSet, test::concat({test::raw_field(0x04, {static_cast<float>(i), 0, 0}),
                                                         test::field(0x7F, Bytes(234, 0))}));
    out.insert(out.end(), pk.begin(), pk.end());
  }
  return out;
}

std::string scratch_path(const char* name) { return ::testing::TempDir() + name + std::to_string(::getpid()); }

// Drains with waits of up to 5 s until `expected` records have come or 10 s
// have passed; returns how long that took and how many came.
std::pair<Clock::duration, std::size_t> drain_waiting(VornParser& parser, std::size_t expected) {
  std::size_t got = 0;
  const auto start = Clock::now();
  while (got < expected && Clock::now() - start < 10s) {
    auto batch = parser.get_packets(WaitTime{5, 0});
    if (batch) got += batch.value().size();
  }
  return {Clock::now() - start, got};
}

TEST(ReaderWakes, AFifoThatFillsTheWindowAndThenWaitsIsStillAnnounced) {
  const std::string path = scratch_path("reader_wakes_fifo_");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // Opening the reading end first would wait for a writer; a read-write
  // descriptor keeps the FIFO open for writing without waiting.
  const int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  auto parser = new_mock(path);
  ASSERT_TRUE(parser);
  ASSERT_TRUE(parser.value().start().ok());

  const Bytes window = packets_of_256(8);
  ASSERT_EQ(window.size(), kReadChunk);
  ASSERT_EQ(::write(writer, window.data(), window.size()), static_cast<ssize_t>(window.size()));
  // The writer stays open: the reader's next read waits for more.
  const auto [waited, got] = drain_waiting(parser.value(), 8);
  EXPECT_EQ(got, 8u);
  EXPECT_LT(waited, 1s) << "records were queued but the waiting drain slept on";

  ::close(writer);  // end of stream for the reader
  parser.value().stop();
  ::unlink(path.c_str());
}

TEST(ReaderWakes, ARegularFileIsAnnouncedInFullAndAtItsEnd) {
  // Fewer records than wake a drain early, then many more: all arrive, in
  // order, and promptly.
  for (std::uint32_t n : {3u, 8u, 3000u}) {
    const std::string path = scratch_path("reader_wakes_file_");
    const Bytes data = packets_of_256(n);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);

    auto parser = new_mock(path);
    ASSERT_TRUE(parser);
    ASSERT_TRUE(parser.value().start().ok());
    std::vector<float> firsts;
    const auto start = Clock::now();
    while (firsts.size() < n && Clock::now() - start < 10s) {
      auto batch = parser.value().get_packets(WaitTime{5, 0});
      if (!batch) continue;
      for (const IMUPacket& p : batch.value()) firsts.push_back(p.get(slot_of<"scaled_accel">).value()[0]);
    }
    EXPECT_LT(Clock::now() - start, 1s) << n << " packets";
    ASSERT_EQ(firsts.size(), n);
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(firsts[i], static_cast<float>(i));
    parser.value().stop();
    ::unlink(path.c_str());
  }
}

}  // namespace
}  // namespace vorn
