#include "protocol.hpp"

#include <bit>
#include <cstring>
#include <utility>

namespace vorn {

namespace {

// The smallest field: its length byte and its descriptor, no data.
constexpr std::size_t kFieldHeaderSize = 2;
constexpr std::uint8_t kValidBit = 0x01;

// One big-endian IEEE-754 single from `p`, all 32 bits kept (NaN payloads too).
inline float read_float(const std::uint8_t* p) {
  std::uint32_t bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap32(bits);
  return std::bit_cast<float>(bits);
}

// A field's value from its data: one float, or N in wire order.
template <std::size_t N>
inline SlotValue<N> read_value(const std::uint8_t* p) {
  if constexpr (N == 1) {
    return read_float(p);
  } else {
    std::array<float, N> out;
    for (std::size_t i = 0; i < N; ++i) out[i] = read_float(p + 4 * i);
    return out;
  }
}

// Calls handle(descriptor, data) for each whole field of `payload`, in order.
// A length byte below the header size or a field running past the end ends
// the walk; what was handled before stays handled.
template <class Handle>
inline void walk_fields(std::span<const std::uint8_t> payload, Handle&& handle) {
  const std::size_t len = payload.size();
  std::size_t q = 0;
  while (q < len) {
    const std::size_t field_len = payload[q];
    if (field_len < kFieldHeaderSize || field_len > len - q) return;
    handle(payload[q + 1], payload.subspan(q + kFieldHeaderSize, field_len - kFieldHeaderSize));
    q += field_len;
  }
}

// Calls f(FieldAt<I>{}) for the field of kind K that has this descriptor, if
// there is one. Only the kind's own rows are tested, each against a constant;
// the descriptor comes in as an argument, not a capture, so that the compiler
// sees one chain of comparisons and can turn it into a switch (a jump table).
template <PacketKind K, class F>
inline void with_descriptor(std::uint8_t descriptor, F&& f) {
  [&f]<std::size_t... I>(std::uint8_t d, std::index_sequence<I...>) {
    (void)((kFields[I].kind == K && kFields[I].descriptor == d && (f(FieldAt<I>{}), true)) || ...);
  }(descriptor, std::make_index_sequence<kFields.size()>{});
}

// Fills `record` from the listed fields of the payload; a field of the wrong
// length is skipped. For the estimated kind the invalid list follows the
// valid bits of the fields taken, in wire order.
template <PacketKind K>
void decode_fields(std::span<const std::uint8_t> payload, IMUPacket& record, FieldObserver* observer) {
  InvalidNames invalid;
  walk_fields(payload, [&](std::uint8_t descriptor, std::span<const std::uint8_t> data) {
    with_descriptor<K>(descriptor, [&]<class F>(F) {
      constexpr const Field& field = F::info;
      bool taken;
      if constexpr (K == PacketKind::Estimated) {
        taken = check_est_field(data, field.data_len(), field.flag, invalid);
      } else {
        taken = data.size() == field.data_len();
      }
      if (taken) {
        record.set(F::slot, read_value<field.floats>(data.data()));
      } else if (observer) {
        observer->wrong_length(field.name);
      }
    });
  });
  if constexpr (K == PacketKind::Estimated) {
    if (!invalid.empty()) record.set_invalid_names(invalid);
  }
}

}  // namespace

bool check_est_field(std::span<const std::uint8_t> data, std::size_t required_len, EstField name,
                     InvalidNames& invalid) {
  if (data.size() != required_len) return false;
  // Only bit 0 of the big-endian flags word counts; it is the field's last byte.
  if (required_len > 0 && (data.back() & kValidBit) == 0) invalid.push_back(name);
  return true;
}

std::optional<IMUPacket> decode_packet(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload,
                                       Timestamp timestamp, FieldObserver* observer) {
  // Built where it is returned, so the record is never moved on the way out.
  std::optional<IMUPacket> out;
  switch (descriptor_set) {
    case kRawSet:
      decode_fields<PacketKind::Raw>(payload, out.emplace(PacketKind::Raw, timestamp), observer);
      break;
    case kEstimatedSet:
      decode_fields<PacketKind::Estimated>(payload, out.emplace(PacketKind::Estimated, timestamp), observer);
      break;
    default:
      break;
  }
  return out;
}

}  // namespace vorn
