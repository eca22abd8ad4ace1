// Argument binding and conversion for the parser classes, with the texts
// Python users see for a wrong call.
#pragma once

#include "compat.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vorn::py {

// The parameters of one callable: all positional-or-keyword, the first
// `required` of them without a default.
struct Signature {
  const char* qualname;  // "MockParser.__new__", "SerialParser.get_data_packets", ...
  std::span<const char* const> names;
  std::size_t required;
};

// Binds vectorcall-style arguments to `out` (one borrowed slot per
// parameter, null when not given). Returns false with TypeError set on a
// wrong count, an unknown keyword or a parameter given twice.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict of keywords (tp_new).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// A str or os.PathLike giving a str, as bytes in the filesystem encoding.
std::optional<std::string> convert_path(PyObject* obj, const char* name);
// An integer in 0 .. 4294967295.
std::optional<std::uint32_t> convert_baudrate(PyObject* obj, const char* name);
// A float or anything convertible to one.
std::optional<double> convert_timeout(PyObject* obj, const char* name);
// Exactly bool, or NumPy's bool scalar.
std::optional<bool> convert_block(PyObject* obj, const char* name);

}  // namespace vorn::py
