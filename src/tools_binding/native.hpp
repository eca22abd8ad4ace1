// vorn._native: the command-line tools' private window on the core.
// It adds nothing to vorn_rs; it links the same core library and reaches the
// serial port and the framing through the very functions SerialParser uses.
#pragma once

#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "borrow.hpp"
#include "records.hpp"
#include "result.hpp"
#include "sample_clock.hpp"

namespace vorn::tools {

// The class objects, made once per module; each returns a new reference or
// null with an exception set.
PyObject* make_port_type(PyObject* module);
PyObject* make_framer_type(PyObject* module);
PyObject* make_recording_clock_type(PyObject* module);
PyObject* make_mcap_writer_type(PyObject* module);
PyObject* make_live_frames_type(PyObject* module);
PyObject* make_ros_packer_type(PyObject* module);
PyObject* make_port_reader_type(PyObject* module);
// ROS_TOPICS, the topics by id (name, message type, what each carries), and
// STANDARD_GRAVITY (m/s² per g) into the module; -1 with an exception.
int add_ros_tables(PyObject* module);

// The clocks' shared pieces: a baud argument checked (false with an exception
// set), times as int64 bytes, and both streams' figures as a dict of dicts
// ("raw", "estimated"); each object a new reference or null with an exception.
bool positive_baud(double baud);
PyObject* int64_bytes(const std::vector<std::int64_t>& v);
PyObject* figures_dict(const std::array<ClockStats, 2>& stats);
// {"raw": {...}, "estimated": {...}}: each online clock's ClockState.
PyObject* clock_state_dict(const std::array<ClockState, 2>& states);

// set_line(fd, baud) -> (input, output, taken): the line of an open terminal
// set up as SerialParser sets it, the speeds the driver put into effect read
// back, and whether they are close enough to `baud` for SerialParser to open.
PyObject* set_line(PyObject* module, PyObject* args);

// Raises the OSError that `failure` stands for: errno its code (the system's,
// or for a failure of the core's own the errno that says the same; None when
// none does), strerror its text, filename `path` when not null. Python code
// tells failures apart by errno, never by text. Returns null.
PyObject* raise_failure(const Failure& failure, const char* path);
// The same OSError made, not raised (a new reference, or null with an exception).
PyObject* failure_object(const Failure& failure, const char* path);

// Adds the times-file codec's functions and magic lines to the module; -1
// with an exception on failure.
int add_times_functions(PyObject* module);

// The names of the columns of the rows that Framer.feed returns (a new tuple).
PyObject* column_names();
// The value fields in record order (a new dict), as the core's field table
// states them: each name to a dict of its "packet_type", "columns" (a tuple
// of column names), "components" (a tuple of their part names: x, y, z or
// w, x, y, z; empty for one float), "unit" ("" for none), "description",
// "panel" (the plot panel that draws it, or None) and "invalid_name" (or None).
PyObject* field_table();

// Framer.columns' layout: per packet its PacketKind (uint8), kValueColumnCount
// float32 value components (NaN where it has none) and kFlagColumnCount
// uint8 flags, each column contiguous over the packets.
extern const std::size_t kValueColumnCount;
extern const std::size_t kFlagColumnCount;
void fill_columns(std::span<const IMUPacket> packets, char* kinds_out, char* values_out, char* flags_out);

// A borrow that raises RuntimeError when another thread has the object.
class BusyGuard : public py::Borrow {
 public:
  explicit BusyGuard(std::atomic<bool>& busy) : Borrow(busy) {
    if (!*this) PyErr_SetString(PyExc_RuntimeError, "object is in use by another thread");
  }
};

}  // namespace vorn::tools
