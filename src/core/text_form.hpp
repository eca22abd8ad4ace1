// The text form of a packet record, as Python's str() shows it.
#pragma once

#include <string>

#include "records.hpp"

namespace vorn {

// Shortest decimal form that reads back as the same 32-bit float:
// positional for zero and for magnitudes in [1e-4, 1e16), scientific
// otherwise ("1e-5", "3.4028235e38"); "NaN", "inf", "-inf".
void append_float(std::string& out, float value);

// "IMUPacket(packet_type=\"raw\", timestamp=..., invalid_fields=None, <each value field>=... )"
std::string text_form(const IMUPacket& packet);

}  // namespace vorn
