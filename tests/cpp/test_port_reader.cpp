// The port reader on a pseudo-terminal: whatever the owner does, the ring
// keeps the newest bytes, counts exactly what it dropped, and the recording
// written beside it gets every byte and marks what the owner missed.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "port_reader.hpp"

namespace vorn {
namespace {

using std::chrono::milliseconds;

struct Line {
  int master = -1;
  std::string path;
  Line() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    char name[64];
    if (ptsname_r(master, name, sizeof name) == 0) path = name;
  }
  ~Line() {
    if (master >= 0) ::close(master);
  }
};

std::unique_ptr<PortReader> start(const Line& line, std::size_t ring, std::shared_ptr<RecordingWriter> rec = {}) {
  auto port = TTYPort::open(SerialSettings{line.path, 921600, 0});
  if (!port) {
    ADD_FAILURE() << port.error().message;
    return nullptr;
  }
  auto reader = PortReader::start(std::move(port).value(), ring, std::move(rec));
  if (!reader) {
    ADD_FAILURE() << reader.error().message;
    return nullptr;
  }
  return std::move(reader).value();
}

// Writes `data` in pieces of the sizes `pieces` gives, a little apart, so
// that the reader takes them as separate reads (or not: the counts hold either way).
std::vector<std::uint8_t> send(const Line& line, std::size_t total, std::mt19937& rng, std::size_t lo, std::size_t hi) {
  std::vector<std::uint8_t> data(total);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  std::uniform_int_distribution<std::size_t> size(lo, hi);
  for (std::size_t at = 0; at < total;) {
    const std::size_t n = std::min(size(rng), total - at);
    EXPECT_EQ(::write(line.master, data.data() + at, n), static_cast<ssize_t>(n));
    at += n;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return data;
}

bool wait_lost(const PortReader& reader, std::uint64_t lost) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (reader.lost_bytes() < lost && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(milliseconds(2));
  }
  return reader.lost_bytes() == lost;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(PortReader, TheRingKeepsTheNewestBytesAndCountsTheRestExactly) {
  std::mt19937 rng(7);
  // Pieces that fill the ring exactly (whole reads dropped), and of any size.
  for (const auto& [lo, hi] : {std::pair<std::size_t, std::size_t>{25, 25}, {1, 60}, {90, 130}}) {
    Line line;
    ASSERT_FALSE(line.path.empty());
    auto reader = start(line, 100);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(readable(reader->notify_fd()));
    const auto data = send(line, 1000, rng, lo, hi);
    ASSERT_TRUE(wait_lost(*reader, 900)) << lo << " " << reader->lost_bytes();
    EXPECT_TRUE(readable(reader->notify_fd()));
    Taken t = reader->take(1 << 20);
    EXPECT_EQ(t.ring_lost, 900u) << lo;
    std::vector<std::uint8_t> got;
    for (const RingRead& r : t.reads) got.insert(got.end(), r.bytes.begin(), r.bytes.end());
    EXPECT_EQ(got, std::vector<std::uint8_t>(data.end() - 100, data.end())) << lo;
    EXPECT_FALSE(t.failure);
    EXPECT_FALSE(readable(reader->notify_fd()));  // emptied: nothing to wake for
    EXPECT_TRUE(reader->take(1 << 20).reads.empty());
  }
}

TEST(PortReader, AnOwnerReadingAsWellKeepsTheOrder) {
  // The owner takes what the line holds itself while the thread reads too:
  // every byte once, in order.
  Line line;
  ASSERT_FALSE(line.path.empty());
  auto reader = start(line, 1 << 20);
  ASSERT_TRUE(reader);
  std::mt19937 rng(11);
  std::vector<std::uint8_t> data;
  std::thread writer([&] { data = send(line, 200'000, rng, 1, 3000); });
  std::vector<std::uint8_t> got;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (got.size() < 200'000 && std::chrono::steady_clock::now() < give_up) {
    pollfd p[2] = {{reader->notify_fd(), POLLIN, 0}, {reader->port_fd(), POLLIN, 0}};
    ::poll(p, 2, 100);
    reader->read_now();
    Taken t = reader->take(1 << 20);
    ASSERT_FALSE(t.failure);
    for (const RingRead& r : t.reads) got.insert(got.end(), r.bytes.begin(), r.bytes.end());
  }
  writer.join();
  EXPECT_EQ(got, data);
  EXPECT_EQ(reader->lost_bytes(), 0u);
}

TEST(PortReader, AHangUpComesAfterWhatTheRingHolds) {
  Line line;
  ASSERT_FALSE(line.path.empty());
  auto reader = start(line, 4096);
  ASSERT_TRUE(reader);
  ASSERT_EQ(::write(line.master, "abc", 3), 3);
  std::this_thread::sleep_for(milliseconds(50));
  ::close(line.master);
  line.master = -1;
  std::vector<std::uint8_t> got;
  std::optional<Failure> failure;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!failure && std::chrono::steady_clock::now() < give_up) {
    pollfd p{reader->notify_fd(), POLLIN, 0};
    ::poll(&p, 1, 100);
    Taken t = reader->take(1 << 20);
    for (const RingRead& r : t.reads) got.insert(got.end(), r.bytes.begin(), r.bytes.end());
    failure = t.failure;
  }
  EXPECT_EQ(std::string(got.begin(), got.end()), "abc");
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->is(Errc::Serial, EPIPE) || failure->is(Errc::Serial, EIO)) << failure->message;
  EXPECT_TRUE(readable(reader->notify_fd()));  // the failure stays to be taken
}

TEST(PortReader, TheRecordingGetsEveryByteAndMarksWhatTheOwnerMissed) {
  char dir[] = "/tmp/vorn-reader-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string data_path = std::string(dir) + "/rec.bin";
  const std::string times_path = data_path + ".times";
  const int data_fd = ::open(data_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int times_fd = ::open(times_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(data_fd, 0);
  ASSERT_GE(times_fd, 0);
  ASSERT_EQ(::write(times_fd, times::kMagicV2.data(), times::kMagicV2.size()),
            static_cast<ssize_t>(times::kMagicV2.size()));
  auto rec = std::make_shared<RecordingWriter>(data_fd, times_fd, false, 50'000'000);
  std::mt19937 rng(3);
  Line line;
  ASSERT_FALSE(line.path.empty());
  auto reader = start(line, 256, rec);
  ASSERT_TRUE(reader);
  const auto data = send(line, 3000, rng, 10, 200);
  ASSERT_TRUE(wait_lost(*reader, 3000 - 256));
  reader->stop();
  ASSERT_TRUE(rec->close());
  std::ifstream in(data_path, std::ios::binary);
  const std::vector<std::uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, data);
  std::ifstream tin(times_path, std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(tin)), std::istreambuf_iterator<char>());
  const times::Decoded d = times::decode(file, data.size());
  EXPECT_EQ(d.damaged_blocks + d.misplaced_blocks, 0u);
  ASSERT_FALSE(d.blocks.empty());
  EXPECT_EQ(d.blocks.front().first, 0u);
  EXPECT_EQ(d.blocks.back().end, data.size());
  std::uint64_t missed = 0;
  std::uint64_t next = 0;  // the runs the markers name follow each other from the start
  for (const times::Loss& l : d.losses) {
    EXPECT_EQ(l.cause, times::LossCause::Ring);
    EXPECT_EQ(l.at, next);
    next = l.at + l.bytes;
    missed += l.bytes;
  }
  EXPECT_EQ(missed, 3000u - 256u);
  ::unlink(data_path.c_str());
  ::unlink(times_path.c_str());
  ::rmdir(dir);
}

}  // namespace
}  // namespace vorn
