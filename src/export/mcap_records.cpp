#include "mcap_records.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace vorn::mcap {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Op : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

constexpr std::size_t kRecordHead = 9;  // opcode, u64 length
// Written chunks' storage of the writer's own kept for the next ones.
constexpr std::size_t kSpares = 8;
// Room for messages beyond the chunk size: a chunk closes once it reaches
// that size, so a smaller message always fits after the ones before it.
constexpr std::size_t kSlack = 1 << 16;
constexpr std::size_t kMessageHead = 22;  // channel, sequence, log time, publish time

// Slice-by-8 tables of the reflected polynomial 0xEDB88320.
constexpr auto kCrcTables = [] {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
  }
  return t;
}();

// Little-endian appends; the file format is little-endian throughout.
template <class T>
void put(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
template <class T>
void put_at(std::uint8_t* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put_bytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data) {
  out.insert(out.end(), data.begin(), data.end());
}
// A run of u64s, at once where the machine is little-endian too.
void put_words(std::vector<std::uint8_t>& out, std::span<const std::uint64_t> words) {
  if constexpr (std::endian::native == std::endian::little) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(words.data());
    out.insert(out.end(), p, p + 8 * words.size());
  } else {
    for (std::uint64_t w : words) put(out, w);
  }
}
void put_string(std::vector<std::uint8_t>& out, std::string_view s) {
  put(out, static_cast<std::uint32_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}
void put_pairs(std::vector<std::uint8_t>& out, const Pairs& pairs) {
  std::vector<std::uint8_t> body;
  for (const auto& [k, v] : pairs) {
    put_string(body, k);
    put_string(body, v);
  }
  put(out, static_cast<std::uint32_t>(body.size()));
  put_bytes(out, body);
}

}  // namespace

namespace {

// The CRC register (not inverted) after the bytes, eight at a time by tables.
std::uint32_t crc_tables(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
  const auto& t = kCrcTables;
  for (; n >= 8; n -= 8, p += 8) {
    const std::uint32_t lo =
        crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
          t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; n > 0; --n, ++p) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
#define VORN_CLMUL __attribute__((target("pclmul,sse4.1")))

VORN_CLMUL inline __m128i load16(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x carried 128 bits on (by the powers in k), plus the next 16 bytes.
VORN_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// The same by carry-less multiplication, folding 64 bytes at a time (n >= 64,
// a multiple of 16), where the CPU has it: the chunks' CRC runs over every
// byte of an export, and this takes 64 bytes a step where the tables take one.
// The constants are powers of x modulo the polynomial, bit-reflected.
VORN_CLMUL std::uint32_t crc_folded(const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  __m128i x1 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load16(p + 16), x3 = load16(p + 32), x4 = load16(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    x1 = fold(x1, k1k2, load16(p));
    x2 = fold(x2, k1k2, load16(p + 16));
    x3 = fold(x3, k1k2, load16(p + 32));
    x4 = fold(x4, k1k2, load16(p + 48));
  }
  x1 = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
  for (; n >= 16; p += 16, n -= 16) x1 = fold(x1, k3k4, load16(p));
  // 128 bits to 64, then Barrett reduction to 32.
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), _mm_srli_si128(x1, 4));
  __m128i x2b = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  x2b = _mm_clmulepi64_si128(_mm_and_si128(x2b, low32), poly, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2b), 1));
}

// Asked of the CPU itself: the compiler's own feature probe needs a runtime
// symbol that not every toolchain links.
bool have_clmul() {
  static const bool have = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
  }();
  return have;
}
#endif

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
  crc = ~crc;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
#if defined(__x86_64__)
  if (n >= 64 && have_clmul()) {
    const std::size_t folded = n & ~std::size_t{15};
    crc = crc_folded(p, folded, crc);
    p += folded;
    n -= folded;
  }
#endif
  return ~crc_tables(p, n, crc);
}

Writer::Writer(std::string_view profile, std::string_view library, std::size_t chunk_size) : chunk_size_(chunk_size) {
  out_.assign(kMagic.begin(), kMagic.end());
  std::vector<std::uint8_t> body;
  put_string(body, profile);
  put_string(body, library);
  record(kHeader, body, out_);
}

void Writer::record(std::uint8_t op, const std::vector<std::uint8_t>& body, std::vector<std::uint8_t>& into) {
  into.push_back(op);
  put(into, static_cast<std::uint64_t>(body.size()));
  put_bytes(into, body);
}

bool Writer::schema(std::uint16_t id, std::string_view name, std::string_view encoding,
                    std::span<const std::uint8_t> data) {
  if (id == 0 || (id < schema_known_.size() && schema_known_[id])) return false;
  if (id >= schema_known_.size()) schema_known_.resize(id + 1u);
  schema_known_[id] = true;
  std::vector<std::uint8_t> body;
  put(body, id);
  put_string(body, name);
  put_string(body, encoding);
  put(body, static_cast<std::uint32_t>(data.size()));
  put_bytes(body, data);
  const std::size_t at = schema_records_.size();
  record(kSchema, body, schema_records_);
  out_.insert(out_.end(), schema_records_.begin() + static_cast<std::ptrdiff_t>(at), schema_records_.end());
  ++schemas_;
  return true;
}

bool Writer::channel(std::uint16_t id, std::uint16_t schema_id, std::string_view topic, std::string_view encoding,
                     const Pairs& metadata) {
  if (has_channel(id) || schema_id >= schema_known_.size() || !schema_known_[schema_id]) return false;
  if (id >= channels_.size()) channels_.resize(id + 1u);
  channels_[id].known = true;
  channel_order_.push_back(id);
  std::vector<std::uint8_t> body;
  put(body, id);
  put(body, schema_id);
  put_string(body, topic);
  put_string(body, encoding);
  put_pairs(body, metadata);
  const std::size_t at = channel_records_.size();
  record(kChannel, body, channel_records_);
  out_.insert(out_.end(), channel_records_.begin() + static_cast<std::ptrdiff_t>(at), channel_records_.end());
  return true;
}

void Writer::message(std::uint16_t channel, std::uint64_t log_time, std::uint64_t publish_time,
                     std::span<const std::uint8_t> body) {
  std::uint8_t* p = begin_message(channel, log_time, publish_time, body.size());
  if (!body.empty()) std::memcpy(p, body.data(), body.size());
  commit();
}

void Writer::open_room(std::size_t size) {
  room_ = rooms_ ? rooms_->lend(size) : std::span<std::uint8_t>();
  own_room_ = room_.size() < size;
  if (own_room_) {
    // Storage already touched, where there is some: fresh pages cost more than the packing.
    if (!spare_.empty()) {
      own_.swap(spare_.back());
      spare_.pop_back();
    }
    own_.resize(std::max(own_.size(), size));
    room_ = own_;
  }
}

std::uint8_t* Writer::begin_message(std::uint16_t channel, std::uint64_t log_time, std::uint64_t publish_time,
                                    std::size_t size) {
  const std::size_t whole = kRecordHead + kMessageHead + size;
  if (used_ + whole > room_.size()) {
    close_chunk();
    open_room(std::max(whole, chunk_size_ + kSlack));
  }
  Channel& c = channels_[channel];
  if (used_ == 0) chunk_start_ = chunk_end_ = log_time;
  chunk_start_ = std::min(chunk_start_, log_time);
  chunk_end_ = std::max(chunk_end_, log_time);
  c.at.push_back(log_time);
  c.at.push_back(used_);
  std::uint8_t* p = room_.data() + used_;
  used_ += whole;
  p[0] = kMessage;
  put_at(p + 1, static_cast<std::uint64_t>(kMessageHead + size));
  put_at(p + 9, channel);
  put_at(p + 11, static_cast<std::uint32_t>(c.count));  // the sequence wraps
  put_at(p + 15, log_time);
  put_at(p + 23, publish_time);
  ++c.count;
  start_ = messages_ ? std::min(start_, log_time) : log_time;
  end_ = messages_ ? std::max(end_, log_time) : log_time;
  ++messages_;
  return p + kRecordHead + kMessageHead;
}

void Writer::close_chunk() {
  if (used_ == 0) return;
  Closed c{room_.first(used_), ChunkBytes(), chunk_start_, chunk_end_, {}};
  if (own_room_) c.own.swap(own_);  // the same storage, moved with the chunk
  room_ = {};
  used_ = 0;
  for (std::size_t id = 0; id < channels_.size(); ++id) {
    std::vector<std::uint64_t>& at = channels_[id].at;
    if (at.empty()) continue;
    const std::size_t held = at.size();
    c.index.emplace_back(static_cast<std::uint16_t>(id), std::move(at));
    at = {};
    at.reserve(held);  // the next chunk likely holds as many, grown once rather than doubling up to it
  }
  closed_.push_back(std::move(c));
}

bool Writer::write_chunk(std::string_view compression, std::span<const std::uint8_t> data,
                         std::optional<std::uint32_t> records_crc) {
  if (closed_.empty()) return false;
  const Closed& c = closed_.front();
  const std::uint64_t chunk_at = position();
  out_.push_back(kChunk);
  put(out_, static_cast<std::uint64_t>(8 + 8 + 8 + 4 + 4 + compression.size() + 8 + data.size()));
  put(out_, c.start);
  put(out_, c.end);
  put(out_, static_cast<std::uint64_t>(c.records.size()));
  put(out_, records_crc ? *records_crc : crc32(c.records));
  put_string(out_, compression);
  put(out_, static_cast<std::uint64_t>(data.size()));
  put_bytes(out_, data);
  const std::uint64_t chunk_length = position() - chunk_at;
  const std::uint64_t indexes_at = position();
  std::vector<std::uint8_t> offsets;
  for (const auto& [id, at] : c.index) {
    put(offsets, id);
    put(offsets, position());
    out_.push_back(kMessageIndex);
    put(out_, static_cast<std::uint64_t>(2 + 4 + 8 * at.size()));
    put(out_, id);
    put(out_, static_cast<std::uint32_t>(8 * at.size()));
    put_words(out_, at);
  }
  std::vector<std::uint8_t> body;
  put(body, c.start);
  put(body, c.end);
  put(body, chunk_at);
  put(body, chunk_length);
  put(body, static_cast<std::uint32_t>(offsets.size()));
  put_bytes(body, offsets);
  put(body, position() - indexes_at);
  put_string(body, compression);
  put(body, static_cast<std::uint64_t>(data.size()));
  put(body, static_cast<std::uint64_t>(c.records.size()));
  record(kChunkIndex, body, chunk_indexes_);
  ++chunks_;
  if (!closed_.front().own.empty() && spare_.size() < kSpares) spare_.push_back(std::move(closed_.front().own));
  closed_.pop_front();
  return true;
}

bool Writer::metadata(std::string_view name, const Pairs& pairs) {
  if (used_ != 0 || !closed_.empty()) return false;
  std::vector<std::uint8_t> body;
  put_string(body, name);
  put_pairs(body, pairs);
  const std::uint64_t at = position();
  record(kMetadata, body, out_);
  metadata_.push_back({at, position() - at, std::string(name)});
  return true;
}

bool Writer::finish() {
  if (used_ != 0 || !closed_.empty()) return false;
  std::vector<std::uint8_t> data_end;
  put(data_end, std::uint32_t{0});  // no checksum of the data section
  record(kDataEnd, data_end, out_);
  const std::uint64_t summary_at = position();

  std::vector<std::uint8_t> stats;
  put(stats, messages_);
  put(stats, static_cast<std::uint16_t>(schemas_));
  put(stats, static_cast<std::uint32_t>(channel_order_.size()));
  put(stats, std::uint32_t{0});  // attachments
  put(stats, static_cast<std::uint32_t>(metadata_.size()));
  put(stats, chunks_);
  put(stats, start_time());
  put(stats, end_time());
  put(stats, static_cast<std::uint32_t>(channel_order_.size() * 10));
  for (std::uint16_t id : channel_order_) {
    put(stats, id);
    put(stats, channels_[id].count);
  }
  std::vector<std::uint8_t> statistics;
  record(kStatistics, stats, statistics);
  std::vector<std::uint8_t> metadata_indexes;
  for (const MetadataAt& m : metadata_) {
    std::vector<std::uint8_t> body;
    put(body, m.offset);
    put(body, m.length);
    put_string(body, m.name);
    record(kMetadataIndex, body, metadata_indexes);
  }

  std::vector<std::uint8_t> offsets;
  const std::pair<Op, const std::vector<std::uint8_t>*> groups[] = {
      {kSchema, &schema_records_},    {kChannel, &channel_records_},       {kStatistics, &statistics},
      {kChunkIndex, &chunk_indexes_}, {kMetadataIndex, &metadata_indexes},
  };
  for (const auto& [op, records] : groups) {
    if (records->empty()) continue;
    std::vector<std::uint8_t> body;
    put(body, static_cast<std::uint8_t>(op));
    put(body, position());
    put(body, static_cast<std::uint64_t>(records->size()));
    record(kSummaryOffset, body, offsets);
    put_bytes(out_, *records);
  }
  const std::uint64_t offsets_at = position();
  put_bytes(out_, offsets);
  std::vector<std::uint8_t> footer;
  put(footer, summary_at);
  put(footer, offsets_at);
  out_.push_back(kFooter);
  put(out_, static_cast<std::uint64_t>(footer.size() + 4));
  put_bytes(out_, footer);
  // The summary's CRC covers everything from its start to the footer's last field.
  const std::size_t from = static_cast<std::size_t>(summary_at - written_);
  put(out_, crc32(std::span(out_).subspan(from)));
  put_bytes(out_, kMagic);
  return true;
}

}  // namespace vorn::mcap
