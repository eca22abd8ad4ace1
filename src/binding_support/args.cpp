#include "args.hpp"

#include <string>
#include <string_view>

#include "errors.hpp"
#include "pyref.hpp"

namespace vorn::py {

namespace {

const char* plural_verb(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const auto total = sig.names.size();
  if (sig.required == total) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", sig.qualname, total, given,
                 plural_verb(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.qualname,
                 sig.required, total, given, plural_verb(given));
  }
  return false;
}

// Puts one keyword argument into its slot; false with TypeError set if the
// name is unknown or the slot is already filled.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) != 0) continue;
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname, sig.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.qualname, key);
  return false;
}

// Reports the required parameters left empty, if any.
bool check_required(const Signature& sig, PyObject** out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  std::string list;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i]) continue;
    if (seen > 0) list += missing == 2 ? " and " : (seen + 1 == missing ? ", and " : ", ");
    list += '\'';
    list += sig.names[i];
    list += '\'';
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", sig.qualname, missing,
               missing == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool ok = true;
    // The dict belongs to this call alone, but iterate under its lock anyway.
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    while (ok && PyDict_Next(kwargs, &pos, &key, &value)) ok = bind_keyword(sig, key, value, out);
    Py_END_CRITICAL_SECTION();
    if (!ok) return false;
  }
  return check_required(sig, out);
}

std::optional<std::string> convert_path(PyObject* obj, const char* name) {
  Ref path = Ref::steal(PyOS_FSPath(obj));
  if (path && PyBytes_Check(path.get())) raise_cast(path.get(), "str");
  if (!path || PyErr_Occurred()) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  return std::string(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

std::optional<std::uint32_t> convert_baudrate(PyObject* obj, const char* name) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  if (value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<double> convert_timeout(PyObject* obj, const char* name) {
  if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_argument_error(name);
    return std::nullopt;
  }
  return value;
}

namespace {
// NumPy's bool scalar, recognised by its type's module and name so that
// NumPy need not be imported.
bool is_numpy_bool(PyTypeObject* type) {
  Ref module = Ref::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  // A class may set __module__ to anything; only a str can name NumPy.
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref tname = Ref::steal(PyType_GetName(type));
  if (!tname) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(tname.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(tname.get(), "bool") == 0;
}
}  // namespace

std::optional<bool> convert_block(PyObject* obj, const char* name) {
  if (PyBool_Check(obj)) return obj == Py_True;
  PyTypeObject* type = Py_TYPE(obj);
  if (is_numpy_bool(type)) {
    auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (truth) {
      const int value = truth(obj);
      if (value >= 0) return value != 0;
      prefix_argument_error(name);
      return std::nullopt;
    }
  }
  raise_cast(obj, "bool");
  prefix_argument_error(name);
  return std::nullopt;
}

}  // namespace vorn::py
