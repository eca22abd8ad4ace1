// Raising the module's exceptions. Each function sets the Python error
// indicator and returns null, so callers can `return raise_...(...)`.
#pragma once

#include "compat.hpp"

#include <string_view>

#include "result.hpp"

namespace vorn::py {

// The fatal-error exception class (derived from BaseException), created on
// first use. Returns a borrowed reference, or null with an error set.
PyObject* fatal_error_type();

// Raises the fatal-error exception with `message`.
PyObject* raise_fatal(std::string_view message);
// Raises a plain OSError whose only argument is `text`.
PyObject* raise_os(std::string_view text);
// Raises a plain OSError whose only argument is `text`, with `errno` set to
// `err` (and strerror left None, so that str() is the text).
PyObject* raise_os_with_errno(std::string_view text, int err);
// Raises the exception that `failure` stands for.
PyObject* raise_failure(const Failure& failure);
// TypeError "'<type of obj>' object cannot be cast as '<target>'".
PyObject* raise_cast(PyObject* obj, std::string_view target);
// Replaces a pending TypeError by "argument '<name>': <its text>", chained to
// it as __cause__; any other pending exception is left as it is.
void prefix_argument_error(const char* name);

}  // namespace vorn::py
