#include "framing.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "protocol.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn {

namespace {

// Both sums wrap at 256, a power of two, so they can run in wide integers and
// be cut to 8 bits once at the end. Over a block of k bytes b0..b(k-1), s2
// grows by k*s1 + k*b0 + (k-1)*b1 + ... + 1*b(k-1) (s1 taken before the
// block) and s1 by the plain byte sum, which breaks the byte-by-byte chain.
struct Sums {
  std::uint32_t s1 = 0;
  std::uint32_t s2 = 0;
};

inline void add_bytes(Sums& sums, const std::uint8_t* bytes, std::size_t n) {
  std::uint32_t s1 = sums.s1;
  std::uint32_t s2 = sums.s2;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::uint32_t b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2], b3 = bytes[i + 3];
    s2 += 4 * s1 + 4 * b0 + 3 * b1 + 2 * b2 + b3;
    s1 += b0 + b1 + b2 + b3;
  }
  for (; i < n; ++i) {
    s1 += bytes[i];
    s2 += s1;
  }
  sums = {s1, s2};
}

#if defined(__SSE2__)
constexpr std::size_t kBlock = 16;

// Whole 16-byte blocks from the front of `bytes`; returns how many bytes it took.
inline std::size_t add_blocks(Sums& sums, const std::uint8_t* bytes, std::size_t n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i weights_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i weights_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  __m128i s1 = _mm_cvtsi32_si128(static_cast<int>(sums.s1));  // running byte sum
  __m128i s1_before = zero;                                   // sum of s1 at each block's start
  __m128i weighted = zero;                                    // sum of the weighted bytes
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    s1_before = _mm_add_epi64(s1_before, s1);
    s1 = _mm_add_epi64(s1, _mm_sad_epu8(b, zero));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(b, zero), weights_lo));
    weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(b, zero), weights_hi));
  }
  // s1 and s1_before hold two 64-bit partial sums each, weighted four 32-bit ones.
  const auto fold64 = [](__m128i v) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_add_epi64(v, _mm_unpackhi_epi64(v, v))));
  };
  weighted = _mm_add_epi32(weighted, _mm_unpackhi_epi64(weighted, weighted));
  weighted = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, 0x55));
  sums.s2 +=
      static_cast<std::uint32_t>(kBlock) * fold64(s1_before) + static_cast<std::uint32_t>(_mm_cvtsi128_si32(weighted));
  sums.s1 = fold64(s1);
  return i;
}
#endif

}  // namespace

std::uint16_t fletcher_sums(const std::uint8_t* bytes, std::size_t n) {
  Sums sums;
  std::size_t done = 0;
#if defined(__SSE2__)
  done = add_blocks(sums, bytes, n);
#endif
  add_bytes(sums, bytes + done, n - done);
  return static_cast<std::uint16_t>(((sums.s2 & 0xFF) << 8) | (sums.s1 & 0xFF));
}

FrameStatus process_buffer(std::vector<std::uint8_t>& buffer, PacketSender& sender, WallClock clock,
                           FrameObserver* observer) {
  const std::size_t n = buffer.size();
  if (n == 0) return FrameStatus::Done;
  const std::uint8_t* const data = buffer.data();
  FrameStatus status = FrameStatus::Done;
  std::size_t p = 0;
  while (p < n) {
    if (data[p] != kSync1) {  // in a clean stream the next packet starts right here
      const void* hit = std::memchr(data + p, kSync1, n - p);
      if (hit == nullptr) {
        p = n;  // all noise
        break;
      }
      p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
    }
    // From here on, stopping leaves p at this candidate's first sync byte so
    // that the next call examines it again from its start.
    if (n - p < 2) break;
    if (data[p + 1] != kSync2) {
      ++p;
      continue;
    }
    if (n - p < kHeaderSize) break;
    const std::size_t payload_len = data[p + 3];
    const std::size_t packet_len = kHeaderSize + payload_len + kChecksumSize;
    if (n - p < packet_len) break;
    const std::uint16_t sums = fletcher_sums(data + p, kHeaderSize + payload_len);
    const std::uint8_t* const check = data + p + kHeaderSize + payload_len;
    if (check[0] != (sums & 0xFF) || check[1] != (sums >> 8)) {
      if (observer) observer->bad_checksum();
      ++p;  // noise; a packet may still begin inside the rejected bytes
      continue;
    }
    const std::optional<Timestamp> stamp = clock();
    if (!stamp) {
      status = FrameStatus::ClockBeforeEpoch;
      break;
    }
    if (observer) {
      observer->good_packet(data[p + 2], packet_len);
      observer->packet_offset(p);
    }
    std::optional<IMUPacket> decoded = decode_packet(
        data[p + 2], std::span<const std::uint8_t>(data + p + kHeaderSize, payload_len), *stamp, observer);
    // Nothing is removed on a refusal, not even what was sent before it.
    if (decoded && !sender.send(*decoded)) return FrameStatus::Refused;
    p += packet_len;  // a good packet is never searched for sync bytes again
  }
  if (p > 0) buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(p));
  return status;
}

}  // namespace vorn
