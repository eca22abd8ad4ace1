// What the MCAP writer and the ROS message packer both take from Python: a
// piece of packets as columns (buffers borrowed for one call) and the raw
// sensor's covariances.
#pragma once

#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pyref.hpp"
#include "ros_messages.hpp"

namespace vorn::tools {

// The buffers of one call, released on destruction.
class Views {
 public:
  Views() = default;
  Views(const Views&) = delete;
  Views& operator=(const Views&) = delete;
  ~Views() {
    for (Py_buffer& v : views_) PyBuffer_Release(&v);
  }
  // The bytes of obj, which must be `count` items of `item` bytes; null with an exception.
  const void* take(PyObject* obj, std::size_t count, std::size_t item, const char* what) {
    views_.emplace_back();
    if (PyObject_GetBuffer(obj, &views_.back(), PyBUF_SIMPLE) < 0) {
      views_.pop_back();
      return nullptr;
    }
    const Py_buffer& v = views_.back();
    if (static_cast<std::size_t>(v.len) != count * item) {
      PyErr_Format(PyExc_ValueError, "%s: %zd bytes for %zu items of %zu", what, v.len, count, item);
      return nullptr;
    }
    return v.buf;
  }

 private:
  std::vector<Py_buffer> views_;
};

// Fills `out` with one buffer per item of the sequence `seq`; false with an exception.
template <class T, std::size_t N>
bool take_all(Views& views, PyObject* seq, std::size_t count, std::array<const T*, N>& out, const char* what) {
  py::Ref items = py::Ref::steal(PySequence_Tuple(seq));
  if (!items) return false;
  if (PyTuple_Size(items.get()) != static_cast<Py_ssize_t>(N)) {
    PyErr_Format(PyExc_ValueError, "%s: %zu columns expected", what, N);
    return false;
  }
  for (std::size_t k = 0; k < N; ++k) {
    out[k] = static_cast<const T*>(
        views.take(PyTuple_GetItem(items.get(), static_cast<Py_ssize_t>(k)), count, sizeof(T), what));
    if (!out[k]) return false;
  }
  return true;
}

// Columns of kinds (uint8), values (float32, one buffer per column in record
// order), flags (uint8, likewise), stamps and log times (int64 ns), borrowed
// through `views`; false with an exception.
inline bool columns_of(Views& views, PyObject* kinds, PyObject* values, PyObject* flags, PyObject* stamps,
                       PyObject* log_times, ros::Columns& c) {
  const Py_ssize_t n = PyObject_Length(kinds);
  if (n < 0) return false;
  c.count = static_cast<std::size_t>(n);
  c.kinds = static_cast<const std::uint8_t*>(views.take(kinds, c.count, 1, "kinds"));
  if (!c.kinds || !take_all(views, values, c.count, c.values, "values") ||
      !take_all(views, flags, c.count, c.flags, "flags")) {
    return false;
  }
  c.stamps = static_cast<const std::int64_t*>(views.take(stamps, c.count, 8, "stamps"));
  c.log_times = c.stamps ? static_cast<const std::int64_t*>(views.take(log_times, c.count, 8, "log_times")) : nullptr;
  return c.log_times != nullptr;
}

// The angular-velocity and linear-acceleration covariances, None or two
// sequences of 9 numbers, into rate and accel; false with an exception.
inline bool covariances_of(PyObject* covariances, std::array<double, 9>& rate, std::array<double, 9>& accel) {
  rate.fill(0.0);
  accel.fill(0.0);
  if (covariances == Py_None) return true;
  py::Ref pair = py::Ref::steal(PySequence_Tuple(covariances));
  if (!pair) return false;
  if (PyTuple_Size(pair.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "covariances must be two sequences of 9 numbers");
    return false;
  }
  for (Py_ssize_t m = 0; m < 2; ++m) {
    py::Ref items = py::Ref::steal(PySequence_Tuple(PyTuple_GetItem(pair.get(), m)));
    if (!items) return false;
    if (PyTuple_Size(items.get()) != 9) {
      PyErr_SetString(PyExc_ValueError, "covariances must be two sequences of 9 numbers");
      return false;
    }
    for (Py_ssize_t k = 0; k < 9; ++k) {
      const double v = PyFloat_AsDouble(PyTuple_GetItem(items.get(), k));
      if (v == -1.0 && PyErr_Occurred()) return false;
      (m == 0 ? rate : accel)[static_cast<std::size_t>(k)] = v;
    }
  }
  return true;
}

}  // namespace vorn::tools
