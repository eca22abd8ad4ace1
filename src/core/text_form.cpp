#include "text_form.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace vorn {

namespace {

// Magnitudes written positionally; outside them (zero aside) the form is
// scientific. Both bounds are 32-bit floats, like the values they bound.
constexpr float kPositionalLow = 1e-4f;
constexpr float kPositionalHigh = 1e16f;

// The shortest digits that read back as the same float, d0.d1d2... x 10^exponent.
struct ShortestDigits {
  char digits[12];  // a float never needs more than 9
  std::size_t count = 0;
  int exponent = 0;

  std::string_view view() const { return {digits, count}; }
};

// `magnitude` must be finite and above zero.
ShortestDigits shortest_digits(float magnitude) {
  // to_chars gives the shortest round-trip form, nearest the exact value when
  // several of that length exist: "d[.ddd]e[+-]xx".
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
  const char* p = buf;
  ShortestDigits out;
  for (; *p != 'e'; ++p) {
    if (*p != '.') out.digits[out.count++] = *p;
  }
  ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  for (; p != result.ptr; ++p) out.exponent = out.exponent * 10 + (*p - '0');
  if (negative) out.exponent = -out.exponent;
  return out;
}

void append_positional(std::string& out, const ShortestDigits& d) {
  const std::string_view digits = d.view();
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += digits;
    return;
  }
  const std::size_t int_digits = static_cast<std::size_t>(d.exponent) + 1;
  if (digits.size() <= int_digits) {
    out += digits;
    out.append(int_digits - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, int_digits);
    out += '.';
    out += digits.substr(int_digits);
  }
}

void append_scientific(std::string& out, const ShortestDigits& d) {
  const std::string_view digits = d.view();
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  if (d.exponent < 0) out += '-';
  char buf[8];
  const auto result = std::to_chars(buf, buf + sizeof buf, d.exponent < 0 ? -d.exponent : d.exponent);
  out.append(buf, result.ptr);
}

// All digits of `v`, no sign or separators.
void append_timestamp(std::string& out, Timestamp v) {
  // 19-digit pieces, so that only splitting needs 128-bit division.
  constexpr std::uint64_t kPiece = 10'000'000'000'000'000'000ull;
  constexpr std::size_t kPieceDigits = 19;
  std::uint64_t pieces[3];  // 2^128 has 39 digits
  int count = 0;
  do {
    pieces[count++] = static_cast<std::uint64_t>(v % kPiece);
    v /= kPiece;
  } while (v != 0);
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, pieces[count - 1]).ptr);
  for (int i = count - 2; i >= 0; --i) {
    char* end = std::to_chars(buf, buf + sizeof buf, pieces[i]).ptr;
    out.append(kPieceDigits - static_cast<std::size_t>(end - buf), '0');
    out.append(buf, end);
  }
}

// ", <name>=" and the value, or None: one value field of the text form.
template <class V>
void append_field(std::string& out, std::string_view name, const std::optional<V>& value) {
  out += ", ";
  out += name;
  out += '=';
  if (!value) {
    out += "None";
  } else if constexpr (std::is_same_v<V, float>) {
    out += "Some(";
    append_float(out, *value);
    out += ')';
  } else {
    out += "Some([";
    for (std::size_t i = 0; i < value->size(); ++i) {
      if (i > 0) out += ", ";
      append_float(out, (*value)[i]);
    }
    out += "])";
  }
}

}  // namespace

void append_float(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "NaN";  // whatever its sign
    return;
  }
  if (std::signbit(value)) out += '-';  // negative zero included
  const float magnitude = std::fabs(value);
  if (std::isinf(magnitude)) {
    out += "inf";
  } else if (magnitude == 0.0f) {
    out += "0.0";
  } else if (magnitude >= kPositionalLow && magnitude < kPositionalHigh) {
    append_positional(out, shortest_digits(magnitude));
  } else {
    append_scientific(out, shortest_digits(magnitude));
  }
}

std::string text_form(const IMUPacket& packet) {
  std::string out;
  out.reserve(512);
  out += "IMUPacket(packet_type=\"";
  out += packet.packet_type();
  out += "\", timestamp=";
  append_timestamp(out, packet.timestamp());
  out += ", invalid_fields=";
  if (const InvalidNames names = packet.invalid_names(); !names.empty()) {
    out += "Some(\"";
    names.append_joined(out);
    out += "\")";
  } else {
    out += "None";
  }
  for_each_field([&](auto f) { append_field(out, f.info.name, packet.get(f.slot)); });
  // The blank before the closing parenthesis is part of the form.
  out += " )";
  return out;
}

}  // namespace vorn
