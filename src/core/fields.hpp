// The packet's value fields, described once: where each comes from on the
// wire, where it lives in the record, the names it and its components go by,
// its unit and what it is. Decoding, the record's slots, the text form, the
// Python attributes with their docstrings and interface records, and the vorn
// package's columns, units, field metadata and plot panels all follow kFields:
// a new field is a row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vorn {

enum class PacketKind : std::uint8_t { Raw, Estimated };

// The kind as the record's packet_type names it.
constexpr std::string_view packet_type_of(PacketKind kind) { return kind == PacketKind::Raw ? "raw" : "estimated"; }

// The estimation fields a unit can flag invalid, as the 3-bit codes the
// invalid list stores (0 is no field), in descriptor order (0x03 to 0x21).
enum class EstField : std::uint8_t {
  OrientQuaternion = 1,
  LinearAccel,
  AngularRate,
  AttitudeUncertQuaternion,
  GravityVector,
  CompensatedAccel,
  PressureAlt
};

// The names of a value's components, in wire order: a vector's axes, and a
// quaternion's parts, the scalar part w first as the unit sends it.
inline constexpr std::string_view kVectorParts[] = {"x", "y", "z"};
inline constexpr std::string_view kQuaternionParts[] = {"w", "x", "y", "z"};

// One value field. Names are string literals, so their data() is terminated.
struct Field {
  std::string_view name;            // the record's field and the Python attribute
  PacketKind kind;                  // raw from set 0x80, estimated from 0x82
  std::uint8_t descriptor;          // within that set
  std::uint8_t floats;              // 1, 3 (a vector) or 4 (a quaternion)
  std::string_view unit;            // as the unit sends the value; empty for none
  std::string_view description;     // a few words, capitalised, without a full stop
  std::string_view panel;           // the plot panel that can draw it; empty for none
  EstField flag{};                  // estimated fields: the invalid list's code,
  std::string_view invalid_name{};  // and the name the list shows for it
  std::uint8_t bit = 0;             // presence bit among the kind's values, and
  std::uint8_t offset = 0;          // first float in the record's value area: both numbered below

  // The exact length of the field's data on the wire: big-endian floats, and
  // for the estimated kind a 16-bit valid-flags word after them.
  constexpr std::size_t data_len() const { return 4u * floats + (kind == PacketKind::Estimated ? 2u : 0u); }

  // The names of its components in wire order; none for a single float.
  constexpr std::span<const std::string_view> components() const {
    if (floats == 3) return kVectorParts;
    if (floats == 4) return kQuaternionParts;
    return {};
  }
};

// In record order, which is the order of the text form and the attributes.
// Each kind's presence bits and float offsets are numbered in row order.
inline constexpr auto kFields = [] {
  std::array fields{
      Field{"scaled_accel", PacketKind::Raw, 0x04, 3, "g", "Scaled acceleration", "Acceleration"},
      Field{"scaled_gyro", PacketKind::Raw, 0x05, 3, "rad/s", "Scaled angular rate", "Angular rate"},
      Field{"delta_vel", PacketKind::Raw, 0x08, 3, "g·s", "Delta velocity", ""},
      Field{"delta_theta", PacketKind::Raw, 0x07, 3, "rad", "Delta angle", ""},
      Field{"scaled_ambient_pressure", PacketKind::Raw, 0x17, 1, "Pa", "Scaled ambient pressure", "Pressure"},
      Field{"est_pressure_alt", PacketKind::Estimated, 0x21, 1, "m", "Estimated pressure altitude", "Altitude",
            EstField::PressureAlt, "estPressureAlt"},
      Field{"est_orient_quaternion", PacketKind::Estimated, 0x03, 4, "", "Estimated orientation quaternion",
            "Orientation", EstField::OrientQuaternion, "estOrientQuaternion"},
      Field{"est_attitude_uncert_quaternion", PacketKind::Estimated, 0x12, 4, "",
            "Estimated attitude uncertainty quaternion", "", EstField::AttitudeUncertQuaternion,
            "estAttitudeUncertQuaternion"},
      Field{"est_angular_rate", PacketKind::Estimated, 0x0E, 3, "rad/s", "Estimated angular rate", "Angular rate",
            EstField::AngularRate, "estAngularRate"},
      Field{"est_compensated_accel", PacketKind::Estimated, 0x1C, 3, "m/s²", "Estimated compensated acceleration",
            "Acceleration", EstField::CompensatedAccel, "estCompensatedAccel"},
      Field{"est_linear_accel", PacketKind::Estimated, 0x0D, 3, "m/s²", "Estimated linear acceleration", "",
            EstField::LinearAccel, "estLinearAccel"},
      Field{"est_gravity_vector", PacketKind::Estimated, 0x13, 3, "m/s²", "Estimated gravity vector", "",
            EstField::GravityVector, "estGravityVector"},
  };
  std::uint8_t bits[2] = {}, floats[2] = {};
  for (Field& f : fields) {
    const auto k = static_cast<std::size_t>(f.kind);
    f.bit = bits[k]++;
    f.offset = floats[k];
    floats[k] = static_cast<std::uint8_t>(floats[k] + f.floats);
  }
  return fields;
}();

// Where a value lives in a record: its kind, its presence bit among that
// kind's values, and its first float in the shared value area.
template <std::size_t N>
struct Slot {
  PacketKind kind;
  std::uint8_t bit;
  std::uint8_t offset;
};

// A slot's value: one float, or N floats in wire order.
template <std::size_t N>
using SlotValue = std::conditional_t<N == 1, float, std::array<float, N>>;

// Row I of the table as a type, for code that needs its width at compile time.
template <std::size_t I>
struct FieldAt {
  static constexpr const Field& info = kFields[I];
  static constexpr Slot<kFields[I].floats> slot{kFields[I].kind, kFields[I].bit, kFields[I].offset};
};

// Calls f(FieldAt<I>{}) for each row, in record order.
template <class F>
constexpr void for_each_field(F&& f) {
  [&f]<std::size_t... I>(std::index_sequence<I...>) {
    (f(FieldAt<I>{}), ...);
  }(std::make_index_sequence<kFields.size()>{});
}

// The row of the field named `name`; an unknown name does not compile.
consteval std::size_t field_index(std::string_view name) {
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i].name == name) return i;
  }
  throw "no such field";
}

// A field's name as a template argument: slot_of<"scaled_accel">.
template <std::size_t N>
struct FieldName {
  char text[N];
  consteval FieldName(const char (&name)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = name[i];
  }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// The slot of the field named Name, for code that sets or reads one value by
// the table's name (record.get(slot_of<"scaled_accel">)); an unknown name
// does not compile.
template <FieldName Name>
inline constexpr auto slot_of = FieldAt<field_index(Name.view())>::slot;

// Floats in the record's value area: room for the wider kind.
inline constexpr std::size_t kValueFloats = [] {
  std::size_t floats[2] = {};
  for (const Field& f : kFields) floats[static_cast<std::size_t>(f.kind)] += f.floats;
  return floats[0] > floats[1] ? floats[0] : floats[1];
}();

// Within a kind no descriptor stands twice, and the estimated fields, and only
// they, each have an invalid-list code of their own and a name. A value of
// several floats names each of them.
static_assert([] {
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    const Field& f = kFields[i];
    if (f.floats != 1 && f.components().size() != f.floats) return false;
    if (f.description.empty()) return false;
    if ((f.kind == PacketKind::Estimated) != (f.flag != EstField{} && !f.invalid_name.empty())) return false;
    for (std::size_t j = 0; j < i; ++j) {
      const Field& g = kFields[j];
      if (g.kind == f.kind && g.descriptor == f.descriptor) return false;
      if (f.flag != EstField{} && g.flag == f.flag) return false;
    }
  }
  return true;
}());

}  // namespace vorn
