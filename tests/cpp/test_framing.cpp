#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "framing.hpp"
#include "packet_builders.hpp"
#include "protocol.hpp"
#include "text_form.hpp"

// Counts heap allocations on the calling thread, to check that framing and
// decoding allocate nothing for packets without invalid fields.
namespace {
thread_local std::size_t t_allocations = 0;
}
void* operator new(std::size_t n) {
  ++t_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// Kept out of line: inlined, GCC would pair the malloc inside operator new
// with this free and warn about a mismatch.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vorn {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::packet;
using test::RecordingSender;

const Bytes kEmptyRaw = hex("75 65 80 00 5A 03");

// Process `buffer` once with the fixed clock.
FrameStatus run(Bytes& buffer, RecordingSender& sender) { return process_buffer(buffer, sender, test::fixed_clock); }

// A clock that counts its reads, so timestamps tell the reads apart; it
// reads before the epoch from the `fail_from`-th read on.
Timestamp g_reads = 0;
Timestamp g_fail_from = ~Timestamp{0};
std::optional<Timestamp> counting_clock() {
  ++g_reads;
  if (g_reads >= g_fail_from) return std::nullopt;
  return g_reads;
}
void reset_clock(Timestamp fail_from = ~Timestamp{0}) {
  g_reads = 0;
  g_fail_from = fail_from;
}

Bytes accel_packet(float x) { return packet(kRawSet, test::raw_field(0x04, {x, 0, 0})); }

TEST(WallClock, ReadsNanosecondsSinceTheEpoch) {
  using namespace std::chrono;
  const auto ns_now = [] {
    return static_cast<Timestamp>(duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count());
  };
  const Timestamp before = ns_now();
  const std::optional<Timestamp> read = wall_clock_ns();
  const Timestamp after = ns_now();
  ASSERT_TRUE(read);
  EXPECT_TRUE(before <= *read && *read <= after);
}

TEST(FletcherSums, MatchesPlainRunningSums) {
  EXPECT_EQ(fletcher_sums(kEmptyRaw.data(), 4), 0x035A);
  std::mt19937 rng(7);
  Bytes bytes(300);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  for (std::size_t n = 0; n <= bytes.size(); ++n) {
    auto [s1, s2] = test::reference_sums(std::span(bytes).first(n));
    ASSERT_EQ(fletcher_sums(bytes.data(), n), s2 << 8 | s1) << n;
  }
  Bytes ones(259, 0xFF);  // the largest sums a packet can reach
  auto [s1, s2] = test::reference_sums(ones);
  EXPECT_EQ(fletcher_sums(ones.data(), ones.size()), s2 << 8 | s1);
}

TEST(Framing, EmptyAndNoise) {
  RecordingSender sender;
  Bytes buffer;
  EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
  EXPECT_TRUE(buffer.empty());

  buffer = hex("00 01 65 80 82 FF 76 64");
  EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(sender.attempts, 0u);
}

TEST(Framing, EmptyRawPacketGivesRawRecord) {
  RecordingSender sender;
  Bytes buffer = kEmptyRaw;
  EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
  EXPECT_TRUE(buffer.empty());
  ASSERT_EQ(sender.records.size(), 1u);
  const IMUPacket& rec = sender.records[0];
  EXPECT_EQ(rec.packet_type(), "raw");
  EXPECT_TRUE(rec.timestamp() == test::kFixedStamp);
  for_each_field([&](auto f) { EXPECT_FALSE(rec.get(f.slot)) << f.info.name; });
  EXPECT_FALSE(rec.invalid_fields());
}

TEST(Framing, WorkedExamplesBackToBackWithNoise) {
  RecordingSender sender;
  Bytes buffer = concat({hex("00 75 75"), hex("75 65 80 0E 0E 04 00 00 00 00 00 00 00 00 BF 80 00 00 B9 35"),
                         hex("75 65 82 08 08 21 41 20 00 00 00 00 EE 7C"), hex("11 22"),
                         hex("75 65 82 08 08 21 41 20 00 00 00 01 EF 7D"), hex("75 65 82")});
  EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
  EXPECT_EQ(buffer, hex("75 65 82"));
  ASSERT_EQ(sender.records.size(), 3u);
  EXPECT_EQ(sender.records[0].get(slot_of<"scaled_accel">), (Vector3{0, 0, -1}));
  EXPECT_EQ(sender.records[1].invalid_fields(), std::optional<std::string>("estPressureAlt"));
  EXPECT_EQ(sender.records[1].get(slot_of<"est_pressure_alt">), std::optional<float>(10));
  EXPECT_FALSE(sender.records[2].invalid_fields());
  EXPECT_EQ(sender.records[2].get(slot_of<"est_pressure_alt">), std::optional<float>(10));
}

TEST(Framing, IncompleteTailsStayFromTheirSyncByte) {
  const Bytes full = accel_packet(2.5f);
  // Cut the packet after every possible length: noise before it is dropped,
  // the partial packet stays, and the rest completes it exactly once.
  for (std::size_t cut = 1; cut < full.size(); ++cut) {
    RecordingSender sender;
    Bytes buffer = concat({hex("01 02 03"), Bytes(full.begin(), full.begin() + cut)});
    EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
    EXPECT_EQ(buffer, Bytes(full.begin(), full.begin() + cut)) << cut;
    EXPECT_TRUE(sender.records.empty());

    buffer.insert(buffer.end(), full.begin() + cut, full.end());
    EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
    EXPECT_TRUE(buffer.empty());
    ASSERT_EQ(sender.records.size(), 1u) << cut;
    EXPECT_EQ(sender.records[0].get(slot_of<"scaled_accel">), (Vector3{2.5f, 0, 0}));
  }
}

TEST(Framing, BadChecksumsAreDroppedWhole) {
  for (std::size_t which : {4u, 5u}) {
    RecordingSender sender;
    Bytes buffer = kEmptyRaw;
    buffer[which] ^= 0x01;
    EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
    EXPECT_TRUE(buffer.empty());
    EXPECT_TRUE(sender.records.empty());
  }
}

TEST(Framing, SumsModulo255AreRejected) {
  // A payload heavy enough that the two ways of wrapping disagree.
  const Bytes payload = test::raw_field(0x04, {-1.0f, 1e30f, -3.5e-20f});
  const Bytes good = packet(kRawSet, payload);
  const Bytes wrong = packet(kRawSet, payload, 255);
  ASSERT_NE(good, wrong);

  RecordingSender sender;
  Bytes buffer = wrong;
  EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
  EXPECT_TRUE(buffer.empty());
  EXPECT_TRUE(sender.records.empty());
  buffer = good;
  run(buffer, sender);
  EXPECT_EQ(sender.records.size(), 1u);
}

TEST(Framing, FalseSyncWithLongLengthHoldsTheScan) {
  const Bytes false_header = hex("75 65 80 FF");
  const Bytes good = accel_packet(1.0f);
  RecordingSender sender;
  Bytes buffer = concat({false_header, good});
  // Nothing moves until all 261 bytes of the false candidate are present.
  while (buffer.size() < kMaxPacketSize) {
    const Bytes before = buffer;
    EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
    ASSERT_EQ(buffer, before);
    ASSERT_TRUE(sender.records.empty());
    buffer.push_back(0x00);
  }
  EXPECT_EQ(run(buffer, sender), FrameStatus::Done);
  ASSERT_EQ(sender.records.size(), 1u);
  EXPECT_EQ(sender.records[0].get(slot_of<"scaled_accel">), (Vector3{1, 0, 0}));
  EXPECT_TRUE(buffer.empty());
}

// Hears where good packets begin and when checksums fail, in order.
class Places final : public FrameObserver {
 public:
  std::vector<std::string> heard;
  void good_packet(std::uint8_t, std::size_t size) override { heard.push_back("good " + std::to_string(size)); }
  void packet_offset(std::size_t p) override { heard.push_back("at " + std::to_string(p)); }
  void bad_checksum() override { heard.push_back("bad"); }
  void wrong_length(std::string_view) override {}
};

TEST(Framing, GoodPacketInsideRejectedCandidateIsFound) {
  // A candidate claiming 10 payload bytes that hold a whole empty packet.
  RecordingSender sender;
  Places places;
  Bytes buffer = concat({hex("75 65 82 0A"), kEmptyRaw, hex("AA BB CC DD"), hex("00 00"), kEmptyRaw});
  EXPECT_EQ(process_buffer(buffer, sender, test::fixed_clock, &places), FrameStatus::Done);
  ASSERT_EQ(sender.records.size(), 2u);
  EXPECT_EQ(sender.records[0].packet_type(), "raw");
  EXPECT_TRUE(buffer.empty());
  // Each good packet's offset in the buffer, right after it is heard of.
  EXPECT_EQ(places.heard, (std::vector<std::string>{"bad", "good 6", "at 4", "good 6", "at 16"}));
}

TEST(Framing, OtherSetIsConsumedWholeWithoutRecord) {
  // Its payload is itself a good packet, which must not be found.
  RecordingSender sender;
  Bytes buffer = concat({packet(0x81, kEmptyRaw), accel_packet(4.0f)});
  reset_clock();
  EXPECT_EQ(process_buffer(buffer, sender, counting_clock), FrameStatus::Done);
  EXPECT_TRUE(buffer.empty());
  ASSERT_EQ(sender.records.size(), 1u);
  EXPECT_EQ(sender.records[0].get(slot_of<"scaled_accel">), (Vector3{4, 0, 0}));
  // The clock is read for every good packet, whatever its set.
  EXPECT_TRUE(g_reads == 2);
  EXPECT_TRUE(sender.records[0].timestamp() == 2);
}

TEST(Framing, RefusedSendLeavesBufferAsItWas) {
  const Bytes original =
      concat({hex("00 11"), accel_packet(1), hex("22"), accel_packet(2), accel_packet(3), hex("75 65")});
  for (std::size_t accepted : {0u, 1u, 2u}) {
    RecordingSender sender(accepted);
    Bytes buffer = original;
    EXPECT_EQ(run(buffer, sender), FrameStatus::Refused);
    EXPECT_EQ(buffer, original) << accepted;
    EXPECT_EQ(sender.records.size(), accepted);
    EXPECT_EQ(sender.attempts, accepted + 1);  // returns at the first refusal
  }
}

TEST(Framing, ClockBeforeEpochStopsAtTheUnstampedPacket) {
  const Bytes first = accel_packet(1);
  const Bytes second = accel_packet(2);
  const Bytes third = accel_packet(3);
  RecordingSender sender;
  Bytes buffer = concat({hex("00 11"), first, hex("22"), second, third});
  reset_clock(2);  // the second read fails
  EXPECT_EQ(process_buffer(buffer, sender, counting_clock), FrameStatus::ClockBeforeEpoch);
  EXPECT_EQ(buffer, concat({second, third}));
  ASSERT_EQ(sender.records.size(), 1u);
  EXPECT_EQ(sender.records[0].get(slot_of<"scaled_accel">), (Vector3{1, 0, 0}));

  // Once the clock is back, the kept packets go out in order.
  reset_clock();
  EXPECT_EQ(process_buffer(buffer, sender, counting_clock), FrameStatus::Done);
  EXPECT_TRUE(buffer.empty());
  ASSERT_EQ(sender.records.size(), 3u);
  EXPECT_EQ(sender.records[2].get(slot_of<"scaled_accel">), (Vector3{3, 0, 0}));
}

TEST(Framing, ClockIsNotReadForRejectedOrIncompleteCandidates) {
  RecordingSender sender;
  Bytes bad = kEmptyRaw;
  bad[5] ^= 0xFF;
  Bytes buffer = concat({bad, hex("75 65 80 05 01")});
  reset_clock(1);  // any read would stop the scan
  EXPECT_EQ(process_buffer(buffer, sender, counting_clock), FrameStatus::Done);
  EXPECT_TRUE(g_reads == 0);
  EXPECT_EQ(buffer, hex("75 65 80 05 01"));
}

// Takes each record and lets it go at once.
class DroppingSender final : public PacketSender {
 public:
  bool send(IMUPacket& packet) override {
    IMUPacket taken = std::move(packet);
    ++count;
    return true;
  }
  std::size_t count = 0;
};

TEST(Framing, CleanPacketsAllocateNothing) {
  using test::est_field;
  const Bytes estimated = packet(
      kEstimatedSet, concat({est_field(0x03, {1, 0, 0, 0}, 1), est_field(0x12, {1, 1, 1, 1}, 1),
                             est_field(0x0D, {1, 2, 3}, 1), est_field(0x0E, {1, 2, 3}, 0xFFFF),
                             est_field(0x13, {0, 0, -1}, 1), est_field(0x1C, {1, 2, 3}, 1), est_field(0x21, {5}, 1)}));
  Bytes buffer = concat({estimated, accel_packet(1), hex("00 75"), estimated, hex("75 65 82")});
  DroppingSender sender;
  t_allocations = 0;
  EXPECT_EQ(process_buffer(buffer, sender, test::fixed_clock), FrameStatus::Done);
  EXPECT_EQ(t_allocations, 0u);
  EXPECT_EQ(sender.count, 3u);

  // Every field flagged invalid, as a unit reports while its filter settles:
  // seven names still fit the record.
  const Bytes all_flagged =
      concat({est_field(0x03, {1, 0, 0, 0}, 0), est_field(0x12, {1, 1, 1, 1}, 0), est_field(0x0D, {1, 2, 3}, 0),
              est_field(0x0E, {1, 2, 3}, 0), est_field(0x13, {0, 0, -1}, 0), est_field(0x1C, {1, 2, 3}, 0),
              est_field(0x21, {5}, 0)});
  buffer = packet(kEstimatedSet, all_flagged);
  t_allocations = 0;
  process_buffer(buffer, sender, test::fixed_clock);
  EXPECT_EQ(t_allocations, 0u);

  // The count does see the allocation that an eighth name needs, and that of
  // a timestamp beyond 64 bits.
  buffer = packet(kEstimatedSet, concat({all_flagged, est_field(0x21, {6}, 0)}));
  t_allocations = 0;
  process_buffer(buffer, sender, test::fixed_clock);
  EXPECT_GT(t_allocations, 0u);
  buffer = accel_packet(1);
  t_allocations = 0;
  process_buffer(buffer, sender, [] { return std::optional<Timestamp>(static_cast<Timestamp>(1) << 64); });
  EXPECT_GT(t_allocations, 0u);
}

// --- a randomized stream ----------------------------------------------------------

struct Stream {
  Bytes bytes;
  std::vector<Bytes> sent_packets;  // the packets that must become records, in order
};

// Fields of either set, some well-formed, some not; noise rich in sync bytes.
Stream make_stream(std::uint32_t seed, std::size_t n_packets) {
  std::mt19937 rng(seed);
  auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
  auto any_float = [&] { return std::bit_cast<float>(static_cast<std::uint32_t>(rng())); };
  Stream s;
  for (std::size_t i = 0; i < n_packets; ++i) {
    // Noise: often none, sometimes a false sync pair with any length.
    for (unsigned k = pick(4) == 0 ? pick(40) : 0; k > 0; --k) {
      const unsigned kind = pick(6);
      s.bytes.push_back(kind == 0 ? kSync1 : kind == 1 ? kSync2 : static_cast<std::uint8_t>(rng()));
    }
    const unsigned set_pick = pick(10);
    const std::uint8_t set = set_pick < 5 ? kRawSet : set_pick < 9 ? kEstimatedSet : 0x81;
    Bytes payload;
    for (unsigned f = pick(6); f > 0 && payload.size() < 200; --f) {
      if (set == kRawSet) {
        const std::uint8_t ds[] = {0x04, 0x05, 0x07, 0x08, 0x17, 0x99};
        const std::uint8_t d = ds[pick(6)];
        payload = concat({payload, d == 0x17 ? test::raw_field(d, {any_float()})
                                             : test::raw_field(d, {any_float(), any_float(), any_float()})});
      } else {
        const std::uint8_t ds[] = {0x03, 0x0D, 0x0E, 0x12, 0x13, 0x1C, 0x21};
        const std::uint8_t d = ds[pick(7)];
        const auto flags = static_cast<std::uint16_t>(rng());
        Bytes fld = d == 0x21 ? test::est_field(d, {any_float()}, flags)
                    : d == 0x03 || d == 0x12
                        ? test::est_field(d, {any_float(), any_float(), any_float(), any_float()}, flags)
                        : test::est_field(d, {any_float(), any_float(), any_float()}, flags);
        payload = concat({payload, fld});
      }
    }
    if (pick(8) == 0) payload.push_back(static_cast<std::uint8_t>(rng()));  // stray byte
    Bytes whole = packet(set, payload);
    if (pick(12) == 0) {
      whole[whole.size() - 1 - pick(2)] ^= static_cast<std::uint8_t>(1 + pick(255));  // corrupt
    } else if (set != 0x81) {
      s.sent_packets.push_back(whole);
    }
    s.bytes.insert(s.bytes.end(), whole.begin(), whole.end());
  }
  return s;
}

// The buffer between calls: empty, a lone 0x75, an incomplete header, or an
// incomplete packet whose header is whole.
void expect_leftover_invariant(const Bytes& buffer) {
  if (buffer.empty()) return;
  ASSERT_LE(buffer.size(), kMaxPacketSize - 1);
  ASSERT_EQ(buffer[0], kSync1);
  if (buffer.size() >= 2) {
    ASSERT_EQ(buffer[1], kSync2);
  }
  if (buffer.size() >= kHeaderSize) {
    ASSERT_LT(buffer.size(), kHeaderSize + buffer[3] + kChecksumSize);
  }
}

std::vector<std::string> texts(const std::vector<IMUPacket>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(text_form(r));
  return out;
}

TEST(FramingStream, ChunkedEqualsOneShotEqualsExpected) {
  const Stream s = make_stream(20240611, 400);

  // What the stream must give: each intended packet decoded, stamped by the
  // read of the clock that is its position among good packets.
  std::vector<std::string> expected;
  RecordingSender one_shot;
  Bytes whole = s.bytes;
  reset_clock();
  ASSERT_EQ(process_buffer(whole, one_shot, counting_clock), FrameStatus::Done);
  EXPECT_TRUE(whole.empty());
  ASSERT_EQ(one_shot.records.size(), s.sent_packets.size());
  for (std::size_t i = 0; i < s.sent_packets.size(); ++i) {
    const Bytes& pk = s.sent_packets[i];
    auto decoded = decode_packet(pk[2], std::span(pk).subspan(kHeaderSize, pk.size() - kHeaderSize - kChecksumSize),
                                 one_shot.records[i].timestamp());
    ASSERT_TRUE(decoded);
    expected.push_back(text_form(*decoded));
  }
  EXPECT_EQ(texts(one_shot.records), expected);
  const Timestamp reads = g_reads;

  std::mt19937 rng(99);
  for (std::size_t max_chunk : {1u, 3u, 17u, 300u, 2048u}) {
    RecordingSender chunked;
    Bytes buffer;
    reset_clock();
    for (std::size_t pos = 0; pos < s.bytes.size();) {
      const std::size_t n = std::min<std::size_t>(1 + rng() % max_chunk, s.bytes.size() - pos);
      buffer.insert(buffer.end(), s.bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                    s.bytes.begin() + static_cast<std::ptrdiff_t>(pos + n));
      pos += n;
      ASSERT_EQ(process_buffer(buffer, chunked, counting_clock), FrameStatus::Done);
      expect_leftover_invariant(buffer);
    }
    EXPECT_TRUE(buffer.empty()) << max_chunk;
    EXPECT_TRUE(g_reads == reads) << max_chunk;  // one clock read per good packet, never repeated
    EXPECT_EQ(texts(chunked.records), expected) << max_chunk;
  }
}

TEST(FramingStream, NoiseLeavesAtMostOnePartialPacket) {
  std::mt19937 rng(5);
  Bytes buffer;
  RecordingSender sender;
  for (int round = 0; round < 2000; ++round) {
    for (int k = 0; k < 64; ++k) {
      const unsigned kind = rng() % 4;
      buffer.push_back(kind == 0 ? kSync1 : kind == 1 ? kSync2 : static_cast<std::uint8_t>(rng()));
    }
    ASSERT_EQ(run(buffer, sender), FrameStatus::Done);
    expect_leftover_invariant(buffer);
  }
}

}  // namespace
}  // namespace vorn
