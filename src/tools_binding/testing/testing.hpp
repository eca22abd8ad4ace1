// vorn_native_testing: the native helper's entry points that only tests and
// benchmarks call, built apart (VORN_BUILD_NATIVE_TESTING) and never shipped.
#pragma once

#include "compat.hpp"  // <Python.h>, and what older interpreters lack

namespace vorn::tools {

// SampleClock(baud, lookahead_ns): both streams' online clocks, fed packets
// as they arrive; a new reference, or null with an exception set.
PyObject* make_sample_clock_type(PyObject* module);

// sample_times(first_ns, first_bytes, done_ns, lengths, kinds, lost, baud,
// wall_minus_mono_ns=None) -> (times, figures): the recovered sample time of
// each packet (int64 bytes) and each stream's figures (a dict per stream).
PyObject* sample_times(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorn::tools
