#include "times_file.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <optional>

#if defined(__x86_64__)
#include <cpuid.h>
#include <nmmintrin.h>
#endif

namespace vorn::times {

namespace {

constexpr std::uint32_t kCastagnoli = 0x82F63B78;  // reflected polynomial
constexpr std::size_t kMaxVarint = 10;             // bytes of a 64-bit LEB128 number

// Eight tables of 256 entries: the software CRC takes eight bytes a step.
constexpr auto kTables = [] {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1u) ? kCastagnoli : 0u);
    t[0][i] = c;
  }
  for (std::size_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}();

std::uint32_t crc_software(const std::uint8_t* p, std::size_t n, std::uint32_t c) {
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    word ^= c;
    c = kTables[7][word & 0xFF] ^ kTables[6][(word >> 8) & 0xFF] ^ kTables[5][(word >> 16) & 0xFF] ^
        kTables[4][(word >> 24) & 0xFF] ^ kTables[3][(word >> 32) & 0xFF] ^ kTables[2][(word >> 40) & 0xFF] ^
        kTables[1][(word >> 48) & 0xFF] ^ kTables[0][word >> 56];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return c;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2,crc32"))) std::uint32_t crc_sse42(const std::uint8_t* p, std::size_t n, std::uint32_t c) {
  std::uint64_t c64 = c;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c64 = _mm_crc32_u64(c64, word);
    p += 8;
    n -= 8;
  }
  c = static_cast<std::uint32_t>(c64);
  while (n-- > 0) c = _mm_crc32_u8(c, *p++);
  return c;
}

// CPUID leaf 1, ECX bit 20: SSE4.2, which brings the CRC-32C instruction.
// Asked directly: not every toolchain's runtime has __builtin_cpu_supports.
bool have_sse42() {
  static const bool have = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & (1u << 20)) != 0;
  }();
  return have;
}
#endif

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint32_t get_u32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
std::uint64_t get_u64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t n) {
  while (n > 0x7F) {
    out.push_back(static_cast<std::uint8_t>((n & 0x7F) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(n));
}

std::uint64_t zigzag(std::int64_t n) {
  return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}
std::int64_t unzigzag(std::uint64_t n) { return static_cast<std::int64_t>(n >> 1) ^ -static_cast<std::int64_t>(n & 1); }

// Floor division by 1000, as the clocks' microseconds are taken.
std::int64_t micros(std::int64_t ns) { return ns / 1000 - (ns % 1000 < 0 ? 1 : 0); }

// Reads numbers off a span; nullopt past its end or for a number longer
// than 64 bits.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  std::optional<std::uint64_t> varint() {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < kMaxVarint; ++i) {
      if (p_ == end_) return std::nullopt;
      const std::uint8_t b = *p_++;
      if (i == kMaxVarint - 1 && b > 1) return std::nullopt;
      n |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return n;
    }
    return std::nullopt;
  }
  bool done() const { return p_ == end_; }
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// The running clocks of a block (or of a whole version 1 stream): each read's
// changes added on, with wrapping arithmetic so that no file can overflow them.
struct Clocks {
  std::uint64_t wall = 0;
  std::uint64_t skew = 0;
  // The next read's (wall, mono) from its two changes.
  std::pair<std::int64_t, std::int64_t> step(std::uint64_t wall_change, std::uint64_t skew_change) {
    wall += static_cast<std::uint64_t>(unzigzag(wall_change));
    skew += static_cast<std::uint64_t>(unzigzag(skew_change));
    const auto w = static_cast<std::int64_t>(wall);
    const auto mono_us = static_cast<std::uint64_t>(micros(w)) - skew;
    return {w, static_cast<std::int64_t>(mono_us * 1000u)};
  }
};

enum class BlockCheck { Sound, Gap, Loss, Damaged, Cut };

// The body of a loss marker: its five numbers, exactly, a cause this reader
// knows; false for anything else.
bool read_loss(std::span<const std::uint8_t> body, Loss& loss) {
  Cursor c(body);
  std::uint64_t v[5];
  for (std::uint64_t& x : v) {
    const auto n = c.varint();
    if (!n) return false;
    x = *n;
  }
  if (!c.done() || v[1] == 0 || v[2] < 1 || v[2] > 3) return false;
  loss.at = v[0];
  loss.bytes = v[1];
  loss.cause = static_cast<LossCause>(v[2]);
  loss.wall = unzigzag(v[3]);
  loss.mono = unzigzag(v[4]);
  return true;
}

// The body of a gap block: its four clocks, exactly; false for anything else
// or a monotonic clock that runs back.
bool read_gap(std::span<const std::uint8_t> body, Gap& gap) {
  Cursor c(body);
  std::int64_t v[4];
  for (std::int64_t& x : v) {
    const auto n = c.varint();
    if (!n) return false;
    x = unzigzag(*n);
  }
  gap.lost_wall = v[0];
  gap.lost_mono = v[1];
  gap.back_wall = v[2];
  gap.back_mono = v[3];
  return c.done() && gap.back_mono >= gap.lost_mono;
}

// Checks the block at `at` (its marker found there) and, if sound, appends its
// reads to `out` and its Block to `block`; a gap block fills `block` with the
// header it repeats and `gap` with its clocks.
BlockCheck read_block(std::span<const std::uint8_t> file, std::size_t at, Decoded& out, Block& block, Gap& gap,
                      Loss& loss, std::size_t& next, std::size_t dropped) {
  const std::size_t left = file.size() - at;
  if (left < kBlockHeaderSize) return BlockCheck::Cut;
  const std::uint8_t* h = file.data() + at;
  if (crc32c(std::span(h, kBlockHeaderSize - 4)) != get_u32(h + 32)) return BlockCheck::Damaged;
  const std::uint32_t body_len = get_u32(h + 4);
  const std::uint32_t count = get_u32(h + 8);
  block.first = get_u64(h + 12);
  block.end = get_u64(h + 20);
  block.data_crc = get_u32(h + 28);
  block.checked = true;
  if (left - kBlockHeaderSize < static_cast<std::size_t>(body_len) + kBlockCrcSize) return BlockCheck::Cut;
  const auto body = file.subspan(at + kBlockHeaderSize, body_len);
  if (crc32c(body) != get_u32(body.data() + body_len)) return BlockCheck::Damaged;
  if (count == kLossCount) {
    if (block.end < block.first || !read_loss(body, loss)) return BlockCheck::Damaged;
    next = at + kBlockHeaderSize + body_len + kBlockCrcSize;
    return BlockCheck::Loss;
  }
  if (count == 0) {
    if (block.end < block.first || !read_gap(body, gap)) return BlockCheck::Damaged;
    gap.at = block.end;
    next = at + kBlockHeaderSize + body_len + kBlockCrcSize;
    return BlockCheck::Gap;
  }
  // A sound block the writer cannot have made is damaged all the same.
  if (block.end <= block.first || count > body_len / kMinReadSize || count > block.end - block.first) {
    return BlockCheck::Damaged;
  }
  next = at + kBlockHeaderSize + body_len + kBlockCrcSize;
  const std::size_t base = out.ends.size();
  Cursor c(body);
  Clocks clocks;
  std::uint64_t pos = block.first;
  std::int64_t last_mono = INT64_MIN;  // the monotonic clock never runs back
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto len = c.varint();
    const auto wall = c.varint();
    const auto skew = c.varint();
    const auto [w, m] = len && wall && skew ? clocks.step(*wall, *skew) : std::pair<std::int64_t, std::int64_t>{};
    if (!len || !wall || !skew || *len == 0 || *len > block.end - pos || m < last_mono) {
      out.ends.resize(base);
      out.walls.resize(base);
      out.monos.resize(base);
      return BlockCheck::Damaged;
    }
    last_mono = m;
    pos += *len;
    out.ends.push_back(static_cast<std::int64_t>(pos));
    out.walls.push_back(w);
    out.monos.push_back(m);
  }
  if (!c.done() || pos != block.end) {
    out.ends.resize(base);
    out.walls.resize(base);
    out.monos.resize(base);
    return BlockCheck::Damaged;
  }
  block.reads_begin = dropped + base;
  block.reads_end = dropped + out.ends.size();
  return BlockCheck::Sound;
}

}  // namespace

std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  std::uint32_t c = ~crc;
#if defined(__x86_64__)
  if (have_sse42()) return ~crc_sse42(bytes.data(), bytes.size(), c);
#endif
  return ~crc_software(bytes.data(), bytes.size(), c);
}

bool encode_block(std::vector<std::uint8_t>& out, std::uint64_t first, std::uint32_t data_crc,
                  std::span<const std::uint64_t> lengths, std::span<const std::int64_t> walls,
                  std::span<const std::int64_t> monos) {
  if (lengths.empty() || lengths.size() != walls.size() || lengths.size() != monos.size() ||
      lengths.size() > UINT32_MAX) {
    return false;
  }
  std::vector<std::uint8_t> body;
  body.reserve(lengths.size() * 6);
  std::int64_t wall = 0, skew = 0;
  std::uint64_t end = first;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    if (lengths[i] == 0) return false;
    end += lengths[i];
    const std::int64_t s = micros(walls[i]) - micros(monos[i]);
    put_varint(body, lengths[i]);
    put_varint(body, zigzag(static_cast<std::int64_t>(static_cast<std::uint64_t>(walls[i]) -
                                                      static_cast<std::uint64_t>(wall))));
    put_varint(body,
               zigzag(static_cast<std::int64_t>(static_cast<std::uint64_t>(s) - static_cast<std::uint64_t>(skew))));
    wall = walls[i];
    skew = s;
  }
  if (body.size() > UINT32_MAX) return false;
  const std::size_t at = out.size();
  out.insert(out.end(), kBlockMarker.begin(), kBlockMarker.end());
  put_u32(out, static_cast<std::uint32_t>(body.size()));
  put_u32(out, static_cast<std::uint32_t>(lengths.size()));
  put_u64(out, first);
  put_u64(out, end);
  put_u32(out, data_crc);
  put_u32(out, crc32c(std::span(out.data() + at, kBlockHeaderSize - 4)));
  out.insert(out.end(), body.begin(), body.end());
  put_u32(out, crc32c(body));
  return true;
}

bool encode_gap(std::vector<std::uint8_t>& out, std::uint64_t first, std::uint64_t end, std::uint32_t data_crc,
                std::int64_t lost_wall, std::int64_t lost_mono, std::int64_t back_wall, std::int64_t back_mono) {
  if (first > end || back_mono < lost_mono) return false;
  std::vector<std::uint8_t> body;
  for (const std::int64_t v : {lost_wall, lost_mono, back_wall, back_mono}) put_varint(body, zigzag(v));
  const std::size_t at = out.size();
  out.insert(out.end(), kBlockMarker.begin(), kBlockMarker.end());
  put_u32(out, static_cast<std::uint32_t>(body.size()));
  put_u32(out, 0);
  put_u64(out, first);
  put_u64(out, end);
  put_u32(out, data_crc);
  put_u32(out, crc32c(std::span(out.data() + at, kBlockHeaderSize - 4)));
  out.insert(out.end(), body.begin(), body.end());
  put_u32(out, crc32c(body));
  return true;
}

void encode_loss(std::vector<std::uint8_t>& out, std::uint64_t first, std::uint64_t end, std::uint32_t data_crc,
                 std::uint64_t at, std::uint64_t bytes, LossCause cause, std::int64_t wall, std::int64_t mono) {
  std::vector<std::uint8_t> body;
  for (const std::uint64_t v : {at, bytes, static_cast<std::uint64_t>(cause), zigzag(wall), zigzag(mono)}) {
    put_varint(body, v);
  }
  const std::size_t start = out.size();
  out.insert(out.end(), kBlockMarker.begin(), kBlockMarker.end());
  put_u32(out, static_cast<std::uint32_t>(body.size()));
  put_u32(out, kLossCount);
  put_u64(out, first);
  put_u64(out, end);
  put_u32(out, data_crc);
  put_u32(out, crc32c(std::span(out.data() + start, kBlockHeaderSize - 4)));
  out.insert(out.end(), body.begin(), body.end());
  put_u32(out, crc32c(body));
}

int version_of(std::span<const std::uint8_t> file) {
  const auto starts = [&](std::string_view magic) {
    return file.size() >= magic.size() && std::memcmp(file.data(), magic.data(), magic.size()) == 0;
  };
  return starts(kMagicV2) ? 2 : starts(kMagicV1) ? 1 : 0;
}

Scanner::Scanner(std::uint64_t file_size, std::uint64_t recording_size)
    : file_size_(file_size), recording_size_(recording_size) {}

void Scanner::drop_reads() {
  dropped_ += out_.ends.size();
  out_.ends.clear();
  out_.walls.clear();
  out_.monos.clear();
}

void Scanner::feed(std::span<const std::uint8_t> piece) {
  if (stopped_) return;
  // Worked on where it lies; only what a block not yet whole needs is copied.
  const bool kept = !pending_.empty();
  if (kept) pending_.insert(pending_.end(), piece.begin(), piece.end());
  view_ = kept ? std::span<const std::uint8_t>(pending_) : piece;
  used_ = 0;
  while (!stopped_ && step()) {
  }
  if (stopped_) {
    pending_.clear();
  } else if (kept) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used_));
  } else {
    pending_.assign(piece.begin() + static_cast<std::ptrdiff_t>(used_), piece.end());
  }
  view_ = {};
}

void Scanner::skip(bool cut) {
  skipping_ = true;
  skipping_cut_ = cut;
  stretch_ = 1;  // the marker is looked for from the next byte on
  used_ += 1;
  at_ += 1;
}

void Scanner::skipped(bool to_end) {
  skipping_ = false;
  if (skipping_cut_ && to_end) {
    out_.cut = true;  // the last block, half written
  } else {
    out_.damaged_bytes += stretch_;
    ++out_.damaged_blocks;
  }
}

bool Scanner::step() {
  const std::span<const std::uint8_t> held = view_.subspan(used_);
  const std::uint64_t left = file_size_ - at_;  // of the file from here
  const auto use = [&](std::size_t n) {
    used_ += n;
    at_ += n;
  };
  if (!started_) {
    if (held.size() < std::min<std::uint64_t>(left, kMagicV2.size())) return false;
    out_.version = version_of(held);
    started_ = true;
    if (out_.version != 2) {
      stopped_ = true;
      return false;
    }
    use(kMagicV2.size());
    return true;
  }
  if (skipping_) {
    // On to the next marker, or the file's end.
    const auto found = static_cast<std::size_t>(
        std::search(held.begin(), held.end(), kBlockMarker.begin(), kBlockMarker.end()) - held.begin());
    if (found < held.size()) {
      stretch_ += found;
      use(found);
      skipped(false);
      return true;
    }
    if (held.size() >= left) {
      stretch_ += held.size();
      use(held.size());
      skipped(true);
      stopped_ = true;
      return false;
    }
    const std::size_t keep = std::min(held.size(), kBlockMarker.size() - 1);  // a marker's start, perhaps
    stretch_ += held.size() - keep;
    use(held.size() - keep);
    return false;
  }
  if (left == 0) {
    stopped_ = true;
    return false;
  }
  // A marker here, or the start of one cut off by the file's end.
  if (held.size() < std::min<std::uint64_t>(left, kBlockMarker.size())) return false;
  const bool marked =
      left >= kBlockMarker.size()
          ? std::equal(kBlockMarker.begin(), kBlockMarker.end(), held.begin())
          : std::equal(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(left), kBlockMarker.begin());
  if (!marked) {
    skip(false);
    return true;
  }
  if (left < kBlockHeaderSize) {
    skip(true);
    return true;
  }
  if (held.size() < kBlockHeaderSize) return false;
  if (crc32c(held.first(kBlockHeaderSize - 4)) != get_u32(held.data() + 32)) {
    skip(false);
    return true;
  }
  const std::uint64_t need = kBlockHeaderSize + std::uint64_t{get_u32(held.data() + 4)} + kBlockCrcSize;
  if (left < need) {
    skip(true);
    return true;
  }
  if (held.size() < need) return false;
  Block block;
  Gap gap;
  Loss loss;
  std::size_t next = 0;
  const BlockCheck check = read_block(held.first(need), 0, out_, block, gap, loss, next, dropped_);
  if (check == BlockCheck::Damaged || check == BlockCheck::Cut) {
    skip(false);
    return true;
  }
  const Block* last = out_.blocks.empty() ? nullptr : &out_.blocks.back();
  const bool follows = last ? block.first == last->first && block.end == last->end && block.data_crc == last->data_crc
                            : block.first == 0 && block.end == 0 && block.data_crc == 0;
  if (check == BlockCheck::Loss) {
    // Taken only right after the block it names, and within the recording.
    const std::uint64_t spans = loss.cause == LossCause::Ring ? loss.bytes : 0;
    if (follows && loss.at <= recording_size_ && spans <= recording_size_ - loss.at) {
      loss.block = last ? out_.blocks.size() - 1 : Gap::kNoBlock;
      out_.losses.push_back(loss);
    } else {
      ++out_.misplaced_blocks;
    }
  } else if (check == BlockCheck::Gap) {
    // Taken only right after the block it names, which vouches for it.
    if (follows) {
      gap.block = last ? out_.blocks.size() - 1 : Gap::kNoBlock;
      out_.gaps.push_back(gap);
    } else {
      ++out_.misplaced_blocks;
    }
  } else {
    const std::size_t first = block.reads_begin - dropped_;
    const bool misplaced = block.end > recording_size_ || block.first < covered_;
    // The monotonic clock never runs back from the block before either.
    const bool back = any_read_ && out_.monos[first] < last_mono_;
    if (misplaced || back) {
      if (misplaced) {
        ++out_.misplaced_blocks;
      } else {
        ++out_.damaged_blocks;
        out_.damaged_bytes += next;
      }
      out_.ends.resize(first);
      out_.walls.resize(first);
      out_.monos.resize(first);
    } else {
      out_.blocks.push_back(block);
      covered_ = block.end;
      last_mono_ = out_.monos.back();
      any_read_ = true;
    }
  }
  use(next);
  return true;
}

Decoded decode(std::span<const std::uint8_t> file, std::uint64_t recording_size) {
  Scanner scanner(file.size(), recording_size);
  scanner.feed(file);
  return std::move(scanner.decoded());
}

Decoded decode_v1(std::span<const std::uint8_t> payload, bool complete, std::uint64_t recording_size) {
  Decoded out;
  out.version = 1;
  out.cut = !complete;
  Cursor c(payload);
  Clocks clocks;
  std::uint64_t pos = 0;
  std::int64_t last_mono = INT64_MIN;
  std::optional<std::pair<std::int64_t, std::int64_t>> lost;  // an empty read: the line went
  while (!c.done()) {
    const std::size_t before = c.left();
    const auto len = c.varint();
    const auto wall = c.varint();
    const auto skew = c.varint();
    if (!len || !wall || !skew) {
      // A stream cut off mid-read leaves part of one; anything else is damage.
      if (complete || before > 3 * kMaxVarint) {
        out.damaged_bytes += before;
        ++out.damaged_blocks;
      }
      break;
    }
    const auto [w, m] = clocks.step(*wall, *skew);
    if (*len > recording_size - pos || m < last_mono) {
      out.damaged_bytes += before;
      ++out.damaged_blocks;
      break;
    }
    pos += *len;
    last_mono = m;
    if (*len == 0) {  // a read that brought nothing times nothing; two mark a gap
      if (!lost) {
        lost.emplace(w, m);
      } else {
        out.gaps.push_back(Gap{pos, Gap::kNoBlock, lost->first, lost->second, w, m});
        lost.reset();
      }
      continue;
    }
    lost.reset();
    out.ends.push_back(static_cast<std::int64_t>(pos));
    out.walls.push_back(w);
    out.monos.push_back(m);
  }
  if (!out.ends.empty()) out.blocks.push_back(Block{0, pos, 0, false, 0, out.ends.size()});
  return out;
}

}  // namespace vorn::times
