// Throughput of framing and decoding over a recorded stream, measured beside a
// plain scan of the same bytes in memory (summing every byte), which stands
// for the speed of memory itself. No Python here.
//
//   bench_core RECORDING [--rounds N]
//
// Each round of each measurement goes over the whole recording once; rounds
// of the different measurements alternate so that a burst of load from other
// processes hits all of them alike, and the best round of each counts.
// Prints one JSON object (figures in MB/s and packets/s) on standard output.
//
// Measurements:
//   scan     the plain scan
//   frame    the reader's loop without I/O: 2048-byte chunks appended to the
//            accumulation buffer, process_buffer into a reserved vector
//   channel  the same, each chunk's records sent on the packet channel
//            together as the reader thread does, drained by the same thread
//            every 64 chunks as the binding drains (batches taken whole,
//            their storage handed back)
//   engine   VornParser over the file: reader thread, file reads, channel,
//            and waiting drains on this thread until every packet has come
//   clock    one read of the wall clock, which framing makes for every packet
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "channel.hpp"
#include "clock.hpp"
#include "framing.hpp"
#include "parser.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::IMUPacket;

constexpr int kDefaultRounds = 30;
constexpr int kClockReads = 100000;          // per round of the clock measurement
constexpr std::size_t kChunksPerDrain = 64;  // about 1500 packets of a real unit

// Keeps the compiler from dropping a computation whose result is unused.
template <class T>
void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::uint64_t plain_scan(const std::vector<std::uint8_t>& data) {
  std::uint64_t sum = 0;
  for (std::uint8_t b : data) sum += b;
  return sum;
}

class VectorSink final : public vorn::PacketSender {
 public:
  explicit VectorSink(std::vector<IMUPacket>& out) : out_(out) {}
  bool send(IMUPacket& packet) override {
    out_.push_back(std::move(packet));
    return true;
  }

 private:
  std::vector<IMUPacket>& out_;
};

// Feeds `data` through `sink` as the reader thread does, read by read, with
// `between` called after every chunk; returns whether framing finished well.
template <class Between>
bool frame_all(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& buffer, vorn::PacketSender& sink,
               Between&& between) {
  buffer.clear();
  std::size_t chunk = 0;
  for (std::size_t at = 0; at < data.size(); at += vorn::kReadChunk, ++chunk) {
    const std::size_t n = std::min(vorn::kReadChunk, data.size() - at);
    const std::size_t kept = buffer.size();
    buffer.resize(kept + n);
    std::memcpy(buffer.data() + kept, data.data() + at, n);
    if (vorn::process_buffer(buffer, sink) != vorn::FrameStatus::Done) return false;
    between(chunk);
  }
  return true;
}

struct Best {
  double seconds = 1e300;
  void add(double s) { seconds = std::min(seconds, s); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s RECORDING [--rounds N]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  int rounds = kDefaultRounds;
  if (argc >= 4 && std::strcmp(argv[2], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[3]));

  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

  std::vector<std::uint8_t> buffer;
  buffer.reserve(vorn::kInitialBufferCapacity);

  // One pass to count the packets, so that every sink can be sized once.
  std::vector<IMUPacket> records;
  {
    VectorSink counting(records);
    if (!frame_all(data, buffer, counting, [](std::size_t) {})) return 1;
  }
  const std::size_t packets = records.size();
  records.reserve(packets);

  auto [tx, rx] = vorn::make_channel<IMUPacket>();
  std::vector<IMUPacket> batch;
  VectorSink batch_sink(batch);
  vorn::Batches<IMUPacket> drained;

  Best scan, frame, channel, engine, clock;
  for (int round = 0; round < rounds; ++round) {
    auto start = Clock::now();
    keep(plain_scan(data));
    scan.add(seconds_since(start));

    start = Clock::now();
    for (int i = 0; i < kClockReads; ++i) keep(vorn::wall_clock_ns());
    clock.add(seconds_since(start));

    records.clear();
    VectorSink vector_sink(records);
    start = Clock::now();
    if (!frame_all(data, buffer, vector_sink, [](std::size_t) {})) return 1;
    frame.add(seconds_since(start));
    if (records.size() != packets) return 1;

    std::size_t got = 0;
    auto drain = [&] {
      got += rx.drain_batches(drained);
      rx.recycle(drained);
    };
    start = Clock::now();
    const bool framed = frame_all(data, buffer, batch_sink, [&](std::size_t chunk) {
      tx.send_all(batch);
      if (chunk % kChunksPerDrain == kChunksPerDrain - 1) drain();
    });
    drain();
    channel.add(seconds_since(start));
    if (!framed || got != packets) return 1;

    start = Clock::now();
    vorn::Result<vorn::VornParser> made = vorn::new_mock(path);
    if (!made) {
      std::fprintf(stderr, "%s\n", made.error().message.c_str());
      return 1;
    }
    vorn::VornParser& parser = made.value();
    if (!parser.start()) return 1;
    got = 0;
    while (got < packets) {
      if (!parser.wait_for_packet(Clock::now() + std::chrono::seconds(1))) {
        std::fprintf(stderr, "engine: no packet for 1 s after %zu packets\n", got);
        return 1;
      }
      got += parser.drain_batches(drained);
      parser.recycle(drained);
    }
    parser.stop();
    engine.add(seconds_since(start));
  }

  const double mb = static_cast<double>(data.size()) / 1e6;
  const double n = static_cast<double>(packets);
  std::printf(
      "{\"bytes\": %zu, \"packets\": %zu, \"rounds\": %d,\n"
      " \"scan_mb_s\": %.1f,\n"
      " \"frame_mb_s\": %.1f, \"frame_packets_s\": %.0f,\n"
      " \"channel_mb_s\": %.1f, \"channel_packets_s\": %.0f,\n"
      " \"engine_mb_s\": %.1f, \"engine_packets_s\": %.0f,\n"
      " \"clock_ns\": %.1f}\n",
      data.size(), packets, rounds, mb / scan.seconds, mb / frame.seconds, n / frame.seconds, mb / channel.seconds,
      n / channel.seconds, mb / engine.seconds, n / engine.seconds, clock.seconds / kClockReads * 1e9);
  return 0;
}
