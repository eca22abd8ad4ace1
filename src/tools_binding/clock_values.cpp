// The clocks' Python values: a checked baud, times as int64 bytes, and each
// stream's figures and state as dicts, for RecordingClock and LiveFrames.
#include <array>
#include <cstdint>
#include <vector>

#include "native.hpp"
#include "pyref.hpp"
#include "sample_clock.hpp"

namespace vorn::tools {

using py::Ref;

bool positive_baud(double baud) {
  if (baud > 0) return true;
  PyErr_SetString(PyExc_ValueError, "baud must be positive");
  return false;
}

PyObject* int64_bytes(const std::vector<std::int64_t>& v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                   static_cast<Py_ssize_t>(v.size() * sizeof(std::int64_t)));
}

PyObject* figures_dict(const std::array<ClockStats, 2>& stats) {
  Ref figures = Ref::steal(PyDict_New());
  if (!figures) return nullptr;
  for (std::size_t k = 0; k < stats.size(); ++k) {
    const ClockStats& s = stats[k];
    Ref d = Ref::steal(Py_BuildValue("{s:n, s:d, s:d, s:d, s:d, s:d, s:d, s:n, s:n}", "packets",
                                     static_cast<Py_ssize_t>(s.packets), "rate_hz", s.rate_hz, "nominal_hz",
                                     s.nominal_hz, "drift_ppm", s.drift_ppm, "jitter_median_ns", s.jitter_median_ns,
                                     "jitter_p99_ns", s.jitter_p99_ns, "residual_ns", s.residual_ns, "pauses",
                                     static_cast<Py_ssize_t>(s.pauses), "lost", static_cast<Py_ssize_t>(s.lost)));
    if (!d || PyDict_SetItemString(figures.get(), k == 0 ? "raw" : "estimated", d.get()) < 0) return nullptr;
  }
  return figures.release();
}

PyObject* clock_state_dict(const std::array<ClockState, 2>& states) {
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (std::size_t k = 0; k < states.size(); ++k) {
    const ClockState& s = states[k];
    Ref d = Ref::steal(Py_BuildValue("{s:O, s:n, s:d, s:d, s:d, s:L, s:n, s:n}", "locked",
                                     s.locked ? Py_True : Py_False, "packets", static_cast<Py_ssize_t>(s.packets),
                                     "rate_hz", s.rate_hz, "drift_ppm", s.drift_ppm, "residual_ns", s.residual_ns,
                                     "segment_ns", static_cast<long long>(s.segment_ns), "pauses",
                                     static_cast<Py_ssize_t>(s.pauses), "lost", static_cast<Py_ssize_t>(s.lost)));
    if (!d || PyDict_SetItemString(out.get(), k == 0 ? "raw" : "estimated", d.get()) < 0) return nullptr;
  }
  return out.release();
}

}  // namespace vorn::tools
