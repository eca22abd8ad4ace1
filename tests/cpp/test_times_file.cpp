#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "times_file.hpp"

namespace vorn::times {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Read {
  std::uint64_t length;
  std::int64_t wall;
  std::int64_t mono;  // whole microseconds: the file keeps no more
};

// A recording and its times file of `blocks` flushes, reads of random sizes at
// random moments (the wall clock stepping back now and then).
struct Made {
  Bytes recording;
  Bytes file;
  std::vector<std::vector<Read>> blocks;
  std::vector<std::size_t> block_at;  // where each block begins in the file
};

Made make(std::uint32_t seed, int blocks) {
  std::mt19937_64 rng(seed);
  Made m;
  m.file.assign(kMagicV2.begin(), kMagicV2.end());
  std::int64_t wall = 1'765'000'000'000'000'000, mono = 5'000'000'000;
  for (int b = 0; b < blocks; ++b) {
    std::vector<Read> reads(1 + rng() % 40);
    const std::uint64_t first = m.recording.size();
    for (Read& r : reads) {
      r.length = 1 + rng() % 300;
      wall += static_cast<std::int64_t>(rng() % 3'000'000) - (rng() % 50 == 0 ? 2'000'000'000 : 0);
      mono += static_cast<std::int64_t>(rng() % 3'000) * 1000;
      r.wall = wall;
      r.mono = mono;
      for (std::uint64_t i = 0; i < r.length; ++i) m.recording.push_back(static_cast<std::uint8_t>(rng()));
    }
    std::vector<std::uint64_t> lengths;
    std::vector<std::int64_t> walls, monos;
    for (const Read& r : reads) {
      lengths.push_back(r.length);
      walls.push_back(r.wall);
      monos.push_back(r.mono);
    }
    const auto crc = crc32c(std::span(m.recording).subspan(first));
    m.block_at.push_back(m.file.size());
    EXPECT_TRUE(encode_block(m.file, first, crc, lengths, walls, monos));
    m.blocks.push_back(reads);
  }
  return m;
}

// Every read the decoder hands out must be one the writer wrote, at the
// same place with the same clocks; returns how many blocks came through.
std::size_t expect_only_written(const Made& m, const Decoded& d) {
  EXPECT_EQ(d.ends.size(), d.walls.size());
  EXPECT_EQ(d.ends.size(), d.monos.size());
  EXPECT_LE(d.ends.size(), m.recording.size());
  std::size_t found = 0;
  for (const Block& b : d.blocks) {
    std::uint64_t first = 0;
    std::size_t k = 0;
    while (k < m.blocks.size() && first != b.first) {
      for (const Read& r : m.blocks[k]) first += r.length;
      ++k;
    }
    if (k == m.blocks.size()) {
      ADD_FAILURE() << "a block at " << b.first << " that was never written";
      continue;
    }
    const auto& reads = m.blocks[k];
    EXPECT_EQ(b.reads_end - b.reads_begin, reads.size());
    std::uint64_t end = first;
    for (std::size_t i = 0; i < reads.size() && b.reads_begin + i < b.reads_end; ++i) {
      end += reads[i].length;
      EXPECT_EQ(d.ends[b.reads_begin + i], static_cast<std::int64_t>(end));
      EXPECT_EQ(d.walls[b.reads_begin + i], reads[i].wall);
      EXPECT_EQ(d.monos[b.reads_begin + i], reads[i].mono);
    }
    EXPECT_EQ(crc32c(std::span(m.recording).subspan(b.first, b.end - b.first)), b.data_crc);
    ++found;
  }
  return found;
}

TEST(TimesFile, Crc32cIsCastagnoliAndContinues) {
  const std::string_view check = "123456789";
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(check.data()), check.size());
  EXPECT_EQ(crc32c(bytes), 0xE3069283u);
  EXPECT_EQ(crc32c(bytes.subspan(4), crc32c(bytes.first(4))), 0xE3069283u);
  Bytes big(1000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  std::uint32_t c = 0;
  for (std::size_t i = 0; i < big.size(); i += 13) {
    c = crc32c(std::span(big).subspan(i, std::min<std::size_t>(13, big.size() - i)), c);
  }
  EXPECT_EQ(c, crc32c(big));
}

TEST(TimesFile, RoundTripsAnyReads) {
  for (std::uint32_t seed = 0; seed < 40; ++seed) {
    const Made m = make(seed, 1 + seed % 9);
    const Decoded d = decode(m.file, m.recording.size());
    EXPECT_EQ(d.version, 2);
    EXPECT_EQ(expect_only_written(m, d), m.blocks.size()) << seed;
    EXPECT_EQ(d.damaged_bytes + d.damaged_blocks + d.misplaced_blocks, 0u);
    EXPECT_FALSE(d.cut);
  }
  Bytes out;
  const std::uint64_t zero[] = {4, 0};
  const std::int64_t clocks[] = {1, 2};
  EXPECT_FALSE(encode_block(out, 0, 0, zero, clocks, clocks));  // a read of nothing
  EXPECT_FALSE(encode_block(out, 0, 0, {}, {}, {}));
  EXPECT_TRUE(out.empty());
}

TEST(TimesFile, AnyFlippedBitCostsOnlyItsBlock) {
  const Made m = make(7, 6);
  std::mt19937 rng(3);
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes file = m.file;
    const std::size_t at = kMagicV2.size() + rng() % (file.size() - kMagicV2.size());
    file[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    const Decoded d = decode(file, m.recording.size());
    EXPECT_EQ(expect_only_written(m, d), m.blocks.size() - 1) << "byte " << at;
    EXPECT_GT(d.damaged_blocks, 0u);
  }
}

TEST(TimesFile, ACutFileKeepsEveryWholeBlock) {
  const Made m = make(11, 5);
  for (std::size_t size = kMagicV2.size(); size < m.file.size(); ++size) {
    const Decoded d = decode(std::span(m.file).first(size), m.recording.size());
    std::size_t whole = 0;
    while (whole + 1 < m.block_at.size() && m.block_at[whole + 1] <= size) ++whole;
    EXPECT_EQ(expect_only_written(m, d), whole) << size;
    EXPECT_EQ(d.cut, size != m.block_at[whole]) << size;
    EXPECT_EQ(d.damaged_blocks, 0u) << size;
  }
}

TEST(TimesFile, BlocksOutsideTheRecordingOrOverlappingAreRefused) {
  const Made m = make(5, 4);
  // The recording cut short: blocks past its end vouch for nothing.
  const std::uint64_t short_size = m.block_at.size() > 2 ? [&] {
    std::uint64_t n = 0;
    for (std::size_t k = 0; k < 2; ++k)
      for (const Read& r : m.blocks[k]) n += r.length;
    return n;
  }()
                                                         : 0;
  const Decoded d = decode(m.file, short_size);
  EXPECT_EQ(expect_only_written(m, d), 2u);
  EXPECT_EQ(d.misplaced_blocks, 2u);
  // A block written twice: the second copy covers bytes already covered.
  Bytes twice = m.file;
  twice.insert(twice.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[1]),
               m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[2]));
  EXPECT_EQ(expect_only_written(m, decode(twice, m.recording.size())), m.blocks.size());
  EXPECT_EQ(decode(twice, m.recording.size()).misplaced_blocks, 1u);
}

TEST(TimesFile, NoNumberInTheFileMakesItAllocateBeyondTheRecording) {
  // Sound CRCs over a header claiming 2^32-1 reads and a 4 GB body: cut, not read.
  Bytes file(kMagicV2.begin(), kMagicV2.end());
  const std::uint64_t lengths[] = {5};
  const std::int64_t clocks[] = {1000};
  ASSERT_TRUE(encode_block(file, 0, 0, lengths, clocks, clocks));
  for (std::size_t field : {4u, 8u}) {
    Bytes bad = file;
    const std::size_t at = kMagicV2.size();
    for (std::size_t i = 0; i < 4; ++i) bad[at + field + i] = 0xFF;
    const std::uint32_t crc = crc32c(std::span(bad).subspan(at, kBlockHeaderSize - 4));
    for (std::size_t i = 0; i < 4; ++i) bad[at + 32 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    const Decoded d = decode(bad, 1'000'000);
    EXPECT_TRUE(d.ends.empty());
  }
  // Random bytes after a good magic line, and after a good block.
  std::mt19937 rng(9);
  for (int trial = 0; trial < 500; ++trial) {
    Bytes junk = trial % 2 ? file : Bytes(kMagicV2.begin(), kMagicV2.end());
    for (int i = 0; i < 2000; ++i) junk.push_back(static_cast<std::uint8_t>(rng()));
    if (trial % 3 == 0) junk.insert(junk.end(), kBlockMarker.begin(), kBlockMarker.end());
    const Decoded d = decode(junk, 4);
    EXPECT_LE(d.ends.size(), 4u);
  }
  EXPECT_EQ(decode(Bytes{'x'}, 10).version, 0);
}

// The same as decode() makes of the whole file: fed in pieces of `piece`
// bytes (random sizes up to 300 when 0), the reads taken out now and then.
void expect_same_in_pieces(std::span<const std::uint8_t> file, std::uint64_t recording_size, std::size_t piece) {
  const Decoded whole = decode(file, recording_size);
  Scanner scanner(file.size(), recording_size);
  std::mt19937 rng(static_cast<std::uint32_t>(file.size() + piece));
  std::vector<std::int64_t> ends, walls, monos;
  const auto take = [&] {
    Decoded& d = scanner.decoded();
    EXPECT_EQ(scanner.reads_dropped(), ends.size());
    ends.insert(ends.end(), d.ends.begin(), d.ends.end());
    walls.insert(walls.end(), d.walls.begin(), d.walls.end());
    monos.insert(monos.end(), d.monos.begin(), d.monos.end());
    scanner.drop_reads();
  };
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t n = std::min(file.size() - at, piece ? piece : 1 + rng() % 300);
    scanner.feed(file.subspan(at, n));
    at += n;
    if (rng() % 4 == 0) take();
  }
  take();
  const Decoded& got = scanner.decoded();
  EXPECT_TRUE(scanner.done());
  EXPECT_EQ(got.version, whole.version);
  EXPECT_EQ(ends, whole.ends);
  EXPECT_EQ(walls, whole.walls);
  EXPECT_EQ(monos, whole.monos);
  ASSERT_EQ(got.blocks.size(), whole.blocks.size());
  for (std::size_t i = 0; i < got.blocks.size(); ++i) {
    EXPECT_EQ(got.blocks[i].first, whole.blocks[i].first);
    EXPECT_EQ(got.blocks[i].end, whole.blocks[i].end);
    EXPECT_EQ(got.blocks[i].reads_begin, whole.blocks[i].reads_begin);
    EXPECT_EQ(got.blocks[i].reads_end, whole.blocks[i].reads_end);
  }
  ASSERT_EQ(got.gaps.size(), whole.gaps.size());
  for (std::size_t i = 0; i < got.gaps.size(); ++i) {
    EXPECT_EQ(got.gaps[i].at, whole.gaps[i].at);
    EXPECT_EQ(got.gaps[i].block, whole.gaps[i].block);
    EXPECT_EQ(got.gaps[i].back_mono, whole.gaps[i].back_mono);
  }
  ASSERT_EQ(got.losses.size(), whole.losses.size());
  for (std::size_t i = 0; i < got.losses.size(); ++i) {
    EXPECT_EQ(got.losses[i].at, whole.losses[i].at);
    EXPECT_EQ(got.losses[i].block, whole.losses[i].block);
  }
  EXPECT_EQ(got.damaged_bytes, whole.damaged_bytes);
  EXPECT_EQ(got.damaged_blocks, whole.damaged_blocks);
  EXPECT_EQ(got.misplaced_blocks, whole.misplaced_blocks);
  EXPECT_EQ(got.cut, whole.cut);
}

// A file read a piece at a time decodes as the whole file: sound, with gaps
// and losses, damaged anywhere, cut anywhere, with blocks out of place.
TEST(TimesFile, PiecesDecodeAsTheWholeFile) {
  const Made m = make(31, 8);
  Bytes file(m.file.begin(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[3]));
  ASSERT_TRUE(encode_gap(file, 0, 0, 0, 1, 2, 3, 4));  // names no block: out of place here
  encode_loss(file, 0, 0, 0, 5, 6, LossCause::Ring, 7, 8);
  file.insert(file.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[3]), m.file.end());
  const Bytes junk = {'V', 'T', 'B', 'x', 'V', 'T', 'B', '2', 1, 2, 3};
  file.insert(file.begin() + static_cast<std::ptrdiff_t>(m.block_at[5]), junk.begin(), junk.end());
  for (const std::size_t piece : {0, 1, 3, 36, 4096}) {
    expect_same_in_pieces(m.file, m.recording.size(), piece);
    expect_same_in_pieces(file, m.recording.size(), piece);
    expect_same_in_pieces(m.file, m.recording.size() / 2, piece);  // blocks beyond the recording
  }
  std::mt19937 rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    Bytes bad = file;
    const std::size_t at = rng() % bad.size();
    bad[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    expect_same_in_pieces(bad, m.recording.size(), trial % 2 ? 0 : 1 + trial % 50);
    expect_same_in_pieces(std::span(file).first(rng() % file.size()), m.recording.size(), 0);
  }
  expect_same_in_pieces(Bytes{'x', 'y'}, 10, 1);
  expect_same_in_pieces(Bytes(kMagicV2.begin(), kMagicV2.begin() + 5), 10, 1);  // not a whole magic line
}

TEST(TimesFile, GapsFollowTheBlockThatVouchesForThem) {
  const Made m = make(21, 3);
  // A gap before any byte, then one after each block (the second twice in a row).
  Bytes file(kMagicV2.begin(), kMagicV2.end());
  ASSERT_TRUE(encode_gap(file, 0, 0, 0, 10, 20, 30, 40));
  std::uint64_t first = 0;
  std::vector<std::uint64_t> gap_at;
  std::vector<std::size_t> gap_block_at;  // where each gap after a block begins in the file
  std::vector<std::size_t> data_block_at;
  for (std::size_t k = 0; k < m.blocks.size(); ++k) {
    data_block_at.push_back(file.size());
    const std::size_t end = k + 1 < m.block_at.size() ? m.block_at[k + 1] : m.file.size();
    file.insert(file.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[k]),
                m.file.begin() + static_cast<std::ptrdiff_t>(end));
    std::uint64_t last = first;
    for (const Read& r : m.blocks[k]) last += r.length;
    const auto crc = crc32c(std::span(m.recording).subspan(first, last - first));
    for (int twice = 0; twice < (k == 1 ? 2 : 1); ++twice) {
      gap_block_at.push_back(file.size());
      ASSERT_TRUE(encode_gap(file, first, last, crc, 1'000 + k, 2'000 + k, -5, 2'000'000'000'000 + k));
      gap_at.push_back(last);
    }
    first = last;
  }
  Decoded d = decode(file, m.recording.size());
  EXPECT_EQ(expect_only_written(m, d), m.blocks.size());  // the gaps take no byte and no read
  EXPECT_EQ(d.damaged_blocks + d.misplaced_blocks, 0u);
  ASSERT_EQ(d.gaps.size(), gap_at.size() + 1);
  EXPECT_EQ(d.gaps[0].at, 0u);
  EXPECT_EQ(d.gaps[0].block, Gap::kNoBlock);
  EXPECT_EQ(d.gaps[0].lost_mono, 20);
  EXPECT_EQ(d.gaps[0].back_wall, 30);
  for (std::size_t i = 0; i < gap_at.size(); ++i) {
    const Gap& g = d.gaps[i + 1];
    EXPECT_EQ(g.at, gap_at[i]);
    ASSERT_LT(g.block, d.blocks.size());
    EXPECT_EQ(d.blocks[g.block].end, g.at);
    EXPECT_EQ(g.back_wall, -5);  // the wall clock may stand anywhere
    EXPECT_EQ(g.back_mono - g.lost_mono, 2'000'000'000'000 - 2'000);
  }
  // A flipped bit in a gap costs that gap alone; one in a block costs the
  // block and the gaps that follow it, which it no longer vouches for.
  for (std::size_t bit = 0; bit < 8 * kGapBlockSize; bit += 7) {
    Bytes bad = file;
    bad[gap_block_at[0] + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    d = decode(bad, m.recording.size());
    EXPECT_EQ(d.gaps.size(), gap_at.size()) << bit;
    EXPECT_EQ(expect_only_written(m, d), m.blocks.size());
  }
  Bytes bad = file;
  bad[data_block_at[1] + 40] ^= 1;
  d = decode(bad, m.recording.size());
  EXPECT_EQ(d.gaps.size(), gap_at.size() - 1);
  EXPECT_EQ(d.misplaced_blocks, 2u);
  // A gap that names another block than the one before it, or comes before
  // any block claiming one: placed nowhere.
  Bytes stray(kMagicV2.begin(), kMagicV2.end());
  ASSERT_TRUE(encode_gap(stray, 0, 5, 123, 1, 2, 3, 4));
  stray.insert(stray.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[0]),
               m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[1]));
  ASSERT_TRUE(encode_gap(stray, 0, 0, 0, 1, 2, 3, 4));
  d = decode(stray, m.recording.size());
  EXPECT_TRUE(d.gaps.empty());
  EXPECT_EQ(d.misplaced_blocks, 2u);
  // What the writer cannot have made: a clock running back, a range backwards.
  Bytes out;
  EXPECT_FALSE(encode_gap(out, 0, 0, 0, 0, 50, 0, 49));
  EXPECT_FALSE(encode_gap(out, 6, 5, 0, 0, 0, 0, 0));
  EXPECT_TRUE(out.empty());
  // However many gaps a file holds, each took a gap block's room in it.
  Bytes many(kMagicV2.begin(), kMagicV2.end());
  while (many.size() < 100'000) ASSERT_TRUE(encode_gap(many, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_LE(decode(many, 0).gaps.size(), many.size() / kGapBlockSize);
}

TEST(TimesFile, LossMarkersFollowTheirBlockAndStayWithinTheRecording) {
  const Made m = make(22, 2);
  std::uint64_t end = 0;
  for (const Read& r : m.blocks[0]) end += r.length;
  const auto crc = crc32c(std::span(m.recording).subspan(0, end));
  Bytes file(kMagicV2.begin(), kMagicV2.end());
  encode_loss(file, 0, 0, 0, 0, 7, LossCause::Overrun, -3, 4);  // before any block
  file.insert(file.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[0]),
              m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[1]));
  const std::size_t ring_at = file.size();
  encode_loss(file, 0, end, crc, 3, end - 3, LossCause::Ring, 1'700'000'000'000'000'000, 99);
  encode_loss(file, 0, end, crc, end, 2, LossCause::Buffer, 5, 6);
  file.insert(file.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[1]), m.file.end());
  Decoded d = decode(file, m.recording.size());
  EXPECT_EQ(expect_only_written(m, d), m.blocks.size());  // a loss takes no byte and no read
  EXPECT_TRUE(d.gaps.empty());
  ASSERT_EQ(d.losses.size(), 3u);
  EXPECT_EQ(d.losses[0].block, Gap::kNoBlock);
  EXPECT_EQ(d.losses[0].cause, LossCause::Overrun);
  EXPECT_EQ(d.losses[0].wall, -3);
  EXPECT_EQ(d.losses[1].block, 0u);
  EXPECT_EQ(d.losses[1].at, 3u);
  EXPECT_EQ(d.losses[1].bytes, end - 3);
  EXPECT_EQ(d.losses[1].cause, LossCause::Ring);
  EXPECT_EQ(d.losses[1].wall, 1'700'000'000'000'000'000);
  EXPECT_EQ(d.losses[2].cause, LossCause::Buffer);
  EXPECT_EQ(d.losses[2].at, end);
  // A flipped bit costs the marker alone.
  for (std::size_t bit = 0; bit < 8 * (kBlockHeaderSize + 8); bit += 5) {
    Bytes bad = file;
    bad[ring_at + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    d = decode(bad, m.recording.size());
    EXPECT_EQ(d.losses.size(), 2u) << bit;
    EXPECT_EQ(expect_only_written(m, d), m.blocks.size());
  }
  // Bytes the stream missed beyond the recording, a marker naming another
  // block, an unknown cause: none of them taken.
  Bytes stray(kMagicV2.begin(), kMagicV2.end());
  stray.insert(stray.end(), m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[0]),
               m.file.begin() + static_cast<std::ptrdiff_t>(m.block_at[1]));
  encode_loss(stray, 0, end, crc, m.recording.size() - 1, 2, LossCause::Ring, 0, 0);
  encode_loss(stray, 0, end, crc ^ 1, 0, 1, LossCause::Overrun, 0, 0);
  encode_loss(stray, 0, end, crc, 0, 1, static_cast<LossCause>(9), 0, 0);
  d = decode(stray, m.recording.size());
  EXPECT_TRUE(d.losses.empty());
  EXPECT_EQ(d.misplaced_blocks, 2u);
  EXPECT_EQ(d.damaged_blocks, 1u);
}

// A version 1 stream's triples, inflated: (length, wall change, skew change).
Bytes v1_payload(const std::vector<std::array<std::uint64_t, 3>>& triples) {
  Bytes out;
  for (const auto& t : triples) {
    for (std::uint64_t n : t) {
      while (n > 0x7F) {
        out.push_back(static_cast<std::uint8_t>((n & 0x7F) | 0x80));
        n >>= 7;
      }
      out.push_back(static_cast<std::uint8_t>(n));
    }
  }
  return out;
}

TEST(TimesFile, VersionOneStopsAtWhatItsChecksCatch) {
  // Wall +1 ms a read (zigzag 2,000,000), skew unchanged: mono follows wall.
  const Bytes good =
      v1_payload({{100, 2'000'000'000'000'000'000, 0}, {50, 2'000'000, 0}, {0, 2'000'000, 0}, {70, 2'000'000, 0}});
  Decoded d = decode_v1(good, true, 220);
  ASSERT_EQ(d.ends.size(), 3u);  // the empty read times nothing
  EXPECT_EQ(d.ends, (std::vector<std::int64_t>{100, 150, 220}));
  EXPECT_EQ(d.monos[2] - d.monos[0], 3'000'000);
  EXPECT_EQ(d.damaged_blocks, 0u);
  ASSERT_EQ(d.blocks.size(), 1u);
  EXPECT_FALSE(d.blocks[0].checked);

  // A length past the recording's end (2^62: the bit flip that made readers
  // run out of memory), and a monotonic clock running back: the reads
  // before stand, nothing after.
  for (const Bytes& bad : {v1_payload({{100, 2'000'000, 0}, {1ull << 62, 2'000'000, 0}, {5, 2'000'000, 0}}),
                           v1_payload({{100, 2'000'000, 0}, {5, 2'000'000, 4'000}, {5, 2'000'000, 0}})}) {
    d = decode_v1(bad, false, 1000);
    EXPECT_EQ(d.ends, (std::vector<std::int64_t>{100}));
    EXPECT_EQ(d.damaged_blocks, 1u);
  }
  // Two empty reads in a row: the line went, and was back 2 s later.
  d = decode_v1(
      v1_payload(
          {{100, 2'000'000, 0}, {0, 2'000'000, 0}, {0, 4'000'000'000, 0}, {0, 2'000'000, 0}, {70, 2'000'000, 0}}),
      true, 170);
  EXPECT_EQ(d.ends, (std::vector<std::int64_t>{100, 170}));
  ASSERT_EQ(d.gaps.size(), 1u);  // the third empty read, alone, marks nothing
  EXPECT_EQ(d.gaps[0].at, 100u);
  EXPECT_EQ(d.gaps[0].back_mono - d.gaps[0].lost_mono, 2'000'000'000);
  EXPECT_EQ(d.gaps[0].block, Gap::kNoBlock);

  // Cut mid-read by a crash: not damage.
  d = decode_v1(std::span(good).first(good.size() - 2), false, 220);
  EXPECT_EQ(d.ends.size(), 2u);
  EXPECT_TRUE(d.cut);
  EXPECT_EQ(d.damaged_blocks, 0u);
}

}  // namespace
}  // namespace vorn::times
