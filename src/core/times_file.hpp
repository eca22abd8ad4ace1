// The arrival-times file that `vorn record` writes beside a recording: when
// each read of the port arrived and how many bytes it brought. Encoding and
// decoding are pure functions over byte spans; the caller does the I/O.
//
// Version 2, after its magic line, is a run of self-contained blocks, one per
// flush of the recording, each
//   marker "VTB2", u32 body length, u32 reads, u64 first, u64 end,
//   u32 CRC-32C of the recording's bytes [first, end),
//   u32 CRC-32C of the 32 header bytes before it,
//   body: per read its length (>= 1), the zigzag change of the wall clock (ns)
//         and of (wall us - monotonic us), unsigned LEB128 each, counted from
//         zero at the block's first read,
//   u32 CRC-32C of the body
// (little-endian). A block vouches for its own bytes and, through the CRC of
// the bytes it describes, for belonging to this recording; a reader takes no
// time from a block that fails either check, and finds the next block by its
// marker and header CRC.
//
// A block of 0 reads is a gap: a stretch without the device (an unplug that
// `record --reconnect` went through) at the end of the block before it. Its
// header repeats that block's first, end and data CRC (all 0 for a gap before
// any block), which binds it to the data as strongly as that block; its body
// is four zigzag LEB128 numbers, the wall and monotonic clocks (ns) when the
// line went and when it was back. A gap is not a read: it takes no byte of
// the recording, and each costs at least kGapBlockSize bytes of the file.
//
// A block whose read count is kLossCount is a loss marker: bytes of the line
// that someone did not get. Its header repeats the block before it, as a gap's
// does; its body is five LEB128 numbers: the recording offset of the loss,
// the bytes lost, the cause (LossCause), and the wall and monotonic clocks
// (ns, zigzag) when it was seen. A loss of the recording itself (the driver's
// overruns) lies between bytes `at` and `at` + 0 of it; a loss of the live
// stream's caller (kRing) names bytes [at, at + bytes) that the recording
// holds and the stream's reader did not hand out.
//
// Version 1 is the magic line and one zlib stream of the same triples, with
// no block structure; its payload (inflated by the caller) is checked for
// what it allows: lengths within the recording and a monotonic clock that
// never runs back. An empty read times nothing; two of them in a row mark a
// gap (when the line went, when it was back).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vorn::times {

inline constexpr std::string_view kMagicV1 = "vorn arrival times 1\n";
inline constexpr std::string_view kMagicV2 = "vorn arrival times 2\n";
inline constexpr std::array<std::uint8_t, 4> kBlockMarker = {'V', 'T', 'B', '2'};
inline constexpr std::size_t kBlockHeaderSize = 36;                                 // up to and with the header's CRC
inline constexpr std::size_t kBlockCrcSize = 4;                                     // the body's CRC after it
inline constexpr std::size_t kMinReadSize = 3;                                      // one byte per number at the least
inline constexpr std::size_t kGapBlockSize = kBlockHeaderSize + 4 + kBlockCrcSize;  // the least a gap takes
inline constexpr std::uint32_t kLossCount = 0xFFFFFFFFu;                            // the read count of a loss marker

// Why bytes were lost.
enum class LossCause : std::uint8_t {
  Ring = 1,     // a live stream's caller fell further behind than its reader's ring holds
  Overrun = 2,  // the UART's receiver overran (the driver's overrun count rose)
  Buffer = 3,   // the driver's buffer was full (its buf_overrun count rose)
};

// CRC-32C (Castagnoli) of `bytes` continuing from `crc` (0 to start): the
// machine's CRC instruction where there is one.
std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Appends one block to `out`: the reads that arrived with the recording's
// bytes from `first` on, their lengths (each at least 1) and clocks (ns), and
// `data_crc` over those bytes. False, with `out` untouched, when the spans
// differ in length, a length is 0 or there are no reads.
bool encode_block(std::vector<std::uint8_t>& out, std::uint64_t first, std::uint32_t data_crc,
                  std::span<const std::uint64_t> lengths, std::span<const std::int64_t> walls,
                  std::span<const std::int64_t> monos);

// Appends one gap block to `out`: the device went at (lost_wall, lost_mono)
// and was back at (back_wall, back_mono), after the block of recording bytes
// [first, end) whose CRC-32C is data_crc (0, 0, 0 before any). False, with
// `out` untouched, when first > end or the monotonic clock runs back.
bool encode_gap(std::vector<std::uint8_t>& out, std::uint64_t first, std::uint64_t end, std::uint32_t data_crc,
                std::int64_t lost_wall, std::int64_t lost_mono, std::int64_t back_wall, std::int64_t back_mono);

// Appends one loss marker to `out` after the block of recording bytes
// [first, end) whose CRC-32C is data_crc (0, 0, 0 before any): `bytes` lost
// at recording offset `at` for `cause`, seen at (wall, mono).
void encode_loss(std::vector<std::uint8_t>& out, std::uint64_t first, std::uint64_t end, std::uint32_t data_crc,
                 std::uint64_t at, std::uint64_t bytes, LossCause cause, std::int64_t wall, std::int64_t mono);

// A run of reads the file vouches for by itself: recording bytes [first, end),
// reads [reads_begin, reads_end) of Decoded's arrays. `checked`: the block
// carries data_crc, the CRC-32C the recording's bytes must have (version 2);
// a version 1 run carries none.
struct Block {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  std::uint32_t data_crc = 0;
  bool checked = false;
  std::size_t reads_begin = 0;
  std::size_t reads_end = 0;
};

// A stretch without the device at recording offset `at`, vouched for by
// Decoded::blocks[block], the block it follows (kNoBlock: before any block,
// or a version 1 file's, which carries no CRC).
struct Gap {
  static constexpr std::size_t kNoBlock = static_cast<std::size_t>(-1);
  std::uint64_t at = 0;
  std::size_t block = kNoBlock;
  std::int64_t lost_wall = 0;
  std::int64_t lost_mono = 0;
  std::int64_t back_wall = 0;
  std::int64_t back_mono = 0;
};

// A loss the file marks, vouched for as a gap is.
struct Loss {
  std::uint64_t at = 0;
  std::uint64_t bytes = 0;
  LossCause cause = LossCause::Ring;
  std::size_t block = Gap::kNoBlock;
  std::int64_t wall = 0;
  std::int64_t mono = 0;
};

// What a times file holds, as far as it can vouch for it. Every array has
// one entry per read of an accepted block: where the read ends in the
// recording, and its wall and monotonic clocks (ns, the monotonic one to the
// microsecond). Blocks are in recording order, their ranges disjoint, within
// the recording; so no file makes these arrays longer than the recording has
// bytes. Gaps are in recording order, each from a gap block of the file (or
// two empty reads of version 1): never more of them than the file has room for.
struct Decoded {
  int version = 0;  // 0: not a times file (no magic line this reader knows)
  std::vector<Block> blocks;
  std::vector<std::int64_t> ends;
  std::vector<std::int64_t> walls;
  std::vector<std::int64_t> monos;
  std::vector<Gap> gaps;
  std::vector<Loss> losses;            // in file order
  std::uint64_t damaged_bytes = 0;     // bytes of the file in no sound block
  std::uint32_t damaged_blocks = 0;    // stretches of such bytes
  std::uint32_t misplaced_blocks = 0;  // sound, but beyond the recording, over an earlier block, or a gap
                                       // that does not follow the block it names
  bool cut = false;                    // the file ends inside a block (a crash while it was written)
};

// A version 2 file decoded a piece at a time, as decode() decodes it whole:
// feed() takes the file's bytes in order (its magic line first), the file's
// size told up front; each block whole in the pieces so far is checked and
// added to decoded(), the bytes of a block not yet whole kept until it is.
// What it keeps is a block's bytes, and the reads until drop_reads(): the
// Blocks number their reads from the file's first, the arrays holding those
// from reads_dropped() on.
class Scanner {
 public:
  Scanner(std::uint64_t file_size, std::uint64_t recording_size);
  void feed(std::span<const std::uint8_t> piece);
  // Whether the file's bytes have all been fed (or the rest would change nothing).
  bool done() const { return stopped_; }
  Decoded& decoded() { return out_; }
  void drop_reads();
  std::size_t reads_dropped() const { return dropped_; }

 private:
  bool step();  // one block (or stretch of damage) of pending_; false when it needs more bytes
  void skip(bool cut);
  void skipped(bool to_end);
  std::uint64_t file_size_;
  std::uint64_t recording_size_;
  Decoded out_;
  std::vector<std::uint8_t> pending_;   // the bytes of the last piece not yet used
  std::span<const std::uint8_t> view_;  // while fed: pending_, or the piece itself
  std::size_t used_ = 0;                // of view_
  std::uint64_t at_ = 0;                // the file offset of view_[used_]
  bool started_ = false;                // past the magic line
  bool stopped_ = false;
  bool skipping_ = false;      // looking for the next marker after damage
  bool skipping_cut_ = false;  // ... after a block the file's end cuts
  std::uint64_t stretch_ = 0;  // the damaged stretch's bytes so far
  std::uint64_t covered_ = 0;
  std::size_t dropped_ = 0;
  std::int64_t last_mono_ = 0;
  bool any_read_ = false;
};

// Decodes a whole times file of either version, given the size of the
// recording it is to describe. Version 1's zlib stream is passed inflated,
// as `v1_payload`, with `v1_complete` telling whether the stream ended and
// its checksum held; its magic line must still begin `file`.
Decoded decode(std::span<const std::uint8_t> file, std::uint64_t recording_size);
Decoded decode_v1(std::span<const std::uint8_t> v1_payload, bool v1_complete, std::uint64_t recording_size);

// The version a file's first bytes name: 1, 2, or 0 for neither.
int version_of(std::span<const std::uint8_t> file);

}  // namespace vorn::times
