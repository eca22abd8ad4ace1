// The Python class IMUPacket: a read-only view of one packet record.
// Instances are immutable and may be read and released on any thread.
#pragma once

#include "compat.hpp"

#include "records.hpp"

namespace vorn::py {

// The class object, created on first use (once per process). Borrowed
// reference, or null with an error set.
PyTypeObject* packet_type();

// A new IMUPacket object that takes `record` over; null with an error set if
// the object cannot be made, in which case the record stays with the caller.
PyObject* wrap_packet(IMUPacket&& record);

}  // namespace vorn::py
