// vorn._native: the command-line tools' private window on the core.
// It adds nothing to vorn_rs; it links the same core library and reaches the
// serial port and the framing through the very functions SerialParser uses.
#pragma once

#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include <atomic>

#include "borrow.hpp"

namespace vorn::tools {

// The class objects, made once per module; each returns a new reference or
// null with an exception set.
PyObject* make_port_type(PyObject* module);
PyObject* make_framer_type(PyObject* module);
PyObject* make_mcap_writer_type(PyObject* module);

// set_line(fd, baud) -> (input, output, taken): the line of an open terminal
// set up as SerialParser sets it, the speeds the driver put into effect read
// back, and whether they are close enough to `baud` for SerialParser to open.
PyObject* set_line(PyObject* module, PyObject* args);

// The names of the columns of the rows that Framer.feed returns (a new tuple).
PyObject* column_names();
// The value fields in record order (a new dict): each name to a dict of its
// "packet_type", its "columns" (a tuple) and its "invalid_name" (or None).
PyObject* field_table();

// A borrow that raises RuntimeError when another thread has the object.
class BusyGuard : public py::Borrow {
 public:
  explicit BusyGuard(std::atomic<bool>& busy) : Borrow(busy) {
    if (!*this) PyErr_SetString(PyExc_RuntimeError, "object is in use by another thread");
  }
};

}  // namespace vorn::tools
