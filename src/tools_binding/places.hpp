// Where framing puts each good packet in the stream, for the sample clock:
// its offset and length, and whether bytes were skipped or a checksum failed
// since the good packet before it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "clock.hpp"
#include "framing.hpp"

namespace vorn::tools {

// Recordings and the tools' framing carry no time of their own: rows are not stamped.
inline std::optional<Timestamp> no_clock() { return Timestamp{0}; }

// Where the stream stands between calls: the stream offset of the buffer's
// first byte, the end of the last good packet, and whether a checksum failed
// since.
struct StreamPlace {
  std::uint64_t base = 0;
  std::uint64_t last_end = 0;
  bool bad = false;
};

// Notes where each good packet began, passing what framing tells on to
// `also` when given.
class PlaceObserver final : public FrameObserver {
 public:
  explicit PlaceObserver(StreamPlace& place, FrameObserver* also = nullptr) : place_(place), also_(also) {}

  std::uint64_t offset = 0;  // the last good packet's
  std::uint32_t length = 0;
  bool lost = false;

  void good_packet(std::uint8_t descriptor_set, std::size_t size) override {
    if (also_) also_->good_packet(descriptor_set, size);
    length = static_cast<std::uint32_t>(size);
  }
  void packet_offset(std::size_t p) override {
    offset = place_.base + p;
    lost = offset != place_.last_end || place_.bad;
    place_.last_end = offset + length;
    place_.bad = false;
  }
  void bad_checksum() override {
    if (also_) also_->bad_checksum();
    place_.bad = true;
  }
  void wrong_length(std::string_view name) override {
    if (also_) also_->wrong_length(name);
  }

 private:
  StreamPlace& place_;
  FrameObserver* also_;
};

}  // namespace vorn::tools
