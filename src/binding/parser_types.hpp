// The Python classes SerialParser and MockParser. A parser object belongs to
// the thread that made it: every method refuses other threads, and a borrow
// flag refuses re-entrant use while a method runs.
#pragma once

#include "compat.hpp"

namespace vorn::py {

// The class objects, created on first use (once per process). Borrowed
// references, or null with an error set.
PyTypeObject* serial_parser_type();
PyTypeObject* mock_parser_type();

}  // namespace vorn::py
