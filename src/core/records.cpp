#include "records.hpp"

#include <bit>

namespace vorn {

// A packet object is the interpreter's 32-byte header and the record; 128
// bytes is the allocator's size class that it must fit.
static_assert(sizeof(IMUPacket) == 96);
static_assert(InvalidNames::kCapacity * InvalidNames::kCodeBits <= 8 * sizeof(InvalidNames::Codes));

std::string_view invalid_name(EstField field) {
  static constexpr auto kByCode = [] {
    std::array<std::string_view, 8> names{};
    for (const Field& f : kFields) names[static_cast<std::size_t>(f.flag)] = f.invalid_name;
    return names;
  }();
  return kByCode[static_cast<std::size_t>(field) & 7u];
}

void InvalidNames::append_joined(std::string& out) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (i > 0) out += ',';
    out += invalid_name((*this)[i]);
  }
}

InvalidNames InvalidNames::from_codes(Codes codes) {
  InvalidNames names;
  names.codes_ = codes;
  // Every code is non-zero, so the highest set bit tells how many there are.
  const auto high = static_cast<std::uint64_t>(codes >> 64);
  const auto bits = high != 0 ? 64 + std::bit_width(high) : std::bit_width(static_cast<std::uint64_t>(codes));
  names.count_ = static_cast<std::uint8_t>((bits + kCodeBits - 1) / kCodeBits);
  return names;
}

IMUPacket& IMUPacket::operator=(IMUPacket&& other) noexcept {
  if (this != &other) {
    if (header_.extended) delete extension_;
    values_ = other.values_;
    header_ = other.header_;
    stamp_ = other.stamp_;
    other.header_.extended = 0;
  }
  return *this;
}

std::optional<std::string> IMUPacket::invalid_fields() const {
  const InvalidNames names = invalid_names();
  if (names.empty()) return std::nullopt;
  std::string joined;
  names.append_joined(joined);
  return joined;
}

void IMUPacket::extend(Timestamp timestamp) {
  extension_ = new Extension{timestamp, InvalidNames::from_codes(header_.invalid)};
  header_.extended = 1;
  header_.invalid = 0;
}

void IMUPacket::set_invalid_names(const InvalidNames& names) {
  if (!header_.extended && names.size() > kInlineNames) extend(stamp_);
  if (header_.extended) {
    extension_->invalid = names;
  } else {
    header_.invalid = static_cast<std::uint32_t>(names.codes());
  }
}

}  // namespace vorn
