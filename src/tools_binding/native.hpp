// vorn_tools._native: the command-line tools' private window on the core.
// It adds nothing to vorn_rs; it links the same core library and reaches the
// serial port and the framing through the very functions SerialParser uses.
#pragma once

#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include <atomic>

namespace vorn::tools {

// The class objects, made once per module; each returns a new reference or
// null with an exception set.
PyObject* make_port_type(PyObject* module);
PyObject* make_framer_type(PyObject* module);

// The names of the columns of the rows that Framer.feed returns (a new tuple).
PyObject* column_names();
// The value fields in record order (a new dict): each name to a dict of its
// "packet_type", its "columns" (a tuple) and its "invalid_name" (or None).
PyObject* field_table();

// Marks an object busy for the length of a call. A second thread calling in
// meanwhile gets RuntimeError instead of racing the first (the interpreter may
// run without its global lock).
class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& busy) : busy_(busy), ok_(!busy.exchange(true)) {
    if (!ok_) PyErr_SetString(PyExc_RuntimeError, "object is in use by another thread");
  }
  ~BusyGuard() {
    if (ok_) busy_.store(false);
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;
  explicit operator bool() const { return ok_; }

 private:
  std::atomic<bool>& busy_;
  bool ok_;
};

}  // namespace vorn::tools
