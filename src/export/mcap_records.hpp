// MCAP files written record by record: header, schemas and channels, messages
// gathered into chunks with their message indexes, metadata, and the summary
// (statistics, chunk and metadata indexes, summary offsets, footer) that
// readers seek with. No I/O and no compression: every call appends whole
// records to output(), which the caller writes out in order and clears; a
// full chunk is handed back uncompressed, and its record is written once the
// caller brings it back compressed (write_chunk), so that compressing one
// chunk can overlap filling the next. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::mcap {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Bytes whose growth leaves the new ones unset, for storage written in place
// right after (a chunk's messages): zeroing them first would be a pass over
// every byte of an export, all of it overwritten.
template <class T>
struct Uninitialised : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = Uninitialised<U>;
  };
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
};
using ChunkBytes = std::vector<std::uint8_t, Uninitialised<std::uint8_t>>;

// Storage for chunks that the caller lends the writer, so that a closed
// chunk's records can be handed on where they lie rather than copied. Each
// chunk is written into one room, from its first message to its last, and
// stays there until it is written (write_chunk); what the room is after that
// is the caller's business.
class Rooms {
 public:
  virtual ~Rooms() = default;
  // Room for a chunk, at least `size` bytes; an empty span (or a smaller
  // one) when there is none to lend: the writer then uses storage of its own.
  virtual std::span<std::uint8_t> lend(std::size_t size) = 0;
};

// The CRC-32 of zlib and MCAP, continuing from `crc` (0 to start).
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

class Writer {
 public:
  // Starts the file: the magic and the header record. A chunk is closed once
  // its records reach chunk_size bytes.
  Writer(std::string_view profile, std::string_view library, std::size_t chunk_size);

  // Records of a schema and a channel (ids > 0; a channel's schema first).
  // False, writing nothing, for an id already taken or an unknown schema.
  bool schema(std::uint16_t id, std::string_view name, std::string_view encoding, std::span<const std::uint8_t> data);
  bool channel(std::uint16_t id, std::uint16_t schema_id, std::string_view topic, std::string_view encoding,
               const Pairs& metadata);
  bool has_channel(std::uint16_t id) const { return id < channels_.size() && channels_[id].known; }

  // Where the chunks begun from now on are written (null: the writer's own
  // storage). The rooms must outlive the writer's use of them.
  void set_rooms(Rooms* rooms) { rooms_ = rooms; }

  // A message of a known channel into the open chunk, numbered in its
  // channel; closes the chunk when full. The body is copied.
  void message(std::uint16_t channel, std::uint64_t log_time, std::uint64_t publish_time,
               std::span<const std::uint8_t> body);
  // The same in two steps, for a body written in place: room for `size`
  // bytes of it, to be filled before commit(), which closes a full chunk.
  std::uint8_t* begin_message(std::uint16_t channel, std::uint64_t log_time, std::uint64_t publish_time,
                              std::size_t size);
  void commit() {
    if (used_ >= chunk_size_) close_chunk();
  }

  // Closes the open chunk if it holds a message.
  void close_chunk();
  // Chunks closed and not yet written, oldest first: their records uncompressed.
  std::size_t closed_chunks() const { return closed_.size(); }
  std::span<const std::uint8_t> closed_chunk(std::size_t i) const { return closed_[i].records; }
  // Whether a closed chunk lies in a room the caller lent.
  bool in_room(std::size_t i) const { return closed_[i].own.empty(); }
  // Writes the oldest closed chunk: its record holding `data`, its records as
  // compressed by `compression` ("" for none: data is then the records
  // themselves), then its message indexes. records_crc: the CRC-32 of its
  // records, if worked out already (elsewhere, while it was compressed).
  // False without a closed chunk.
  bool write_chunk(std::string_view compression, std::span<const std::uint8_t> data,
                   std::optional<std::uint32_t> records_crc = std::nullopt);

  // A metadata record, once every chunk is closed and written (false, writing
  // nothing, before).
  bool metadata(std::string_view name, const Pairs& pairs);
  // The data end record and the summary, once every chunk is closed and
  // written (false, writing nothing, before).
  bool finish();

  // Bytes to write, in order, until clear_output() once they are written.
  std::span<const std::uint8_t> output() const { return out_; }
  void clear_output() {
    written_ += out_.size();
    out_.clear();
  }

  std::uint64_t message_count(std::uint16_t channel) const {
    return channel < channels_.size() ? channels_[channel].count : 0;
  }
  // Earliest and latest log time of every message so far (0, 0 without one).
  std::uint64_t start_time() const { return messages_ ? start_ : 0; }
  std::uint64_t end_time() const { return messages_ ? end_ : 0; }

 private:
  struct Channel {
    bool known = false;
    std::uint64_t count = 0;        // messages so far
    std::vector<std::uint64_t> at;  // the open chunk's (log time, offset) pairs
  };
  struct Closed {
    std::span<const std::uint8_t> records;  // in a lent room, or in own
    ChunkBytes own;
    std::uint64_t start, end;
    std::vector<std::pair<std::uint16_t, std::vector<std::uint64_t>>> index;  // by channel, ascending
  };
  struct MetadataAt {
    std::uint64_t offset, length;
    std::string name;
  };

  std::uint64_t position() const { return written_ + out_.size(); }
  void record(std::uint8_t op, const std::vector<std::uint8_t>& body, std::vector<std::uint8_t>& into);

  std::size_t chunk_size_;
  std::vector<std::uint8_t> out_;
  std::uint64_t written_ = 0;  // bytes handed out and cleared before out_
  std::vector<Channel> channels_;
  std::vector<std::uint16_t> channel_order_;  // as registered, for the statistics
  std::vector<bool> schema_known_;
  std::vector<std::uint8_t> schema_records_, channel_records_, chunk_indexes_;
  std::uint32_t schemas_ = 0, chunks_ = 0;
  // The open chunk: its records are the first used_ bytes of room_, which is
  // lent or, with own_room_, own_.
  void open_room(std::size_t size);
  Rooms* rooms_ = nullptr;
  std::span<std::uint8_t> room_;
  std::size_t used_ = 0;
  bool own_room_ = false;
  ChunkBytes own_;
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0;
  std::deque<Closed> closed_;
  std::vector<ChunkBytes> spare_;  // written chunks' storage, for the next ones
  std::vector<MetadataAt> metadata_;
  std::uint64_t messages_ = 0, start_ = 0, end_ = 0;
};

}  // namespace vorn::mcap
