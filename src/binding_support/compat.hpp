// The binding is written for the newest interpreter (3.13, with or without
// the GIL). This header supplies what older ones (3.10 to 3.12) lack, and what
// the Limited API leaves out, under the same names, so the rest of the binding
// never tests a version. Every binding file includes it instead of <Python.h>.
//
// Builds for interpreters with the GIL use the Limited API of 3.10
// (Py_LIMITED_API, set by the build), so one file runs on every later one; the
// free-threaded build keeps the full API. VORN_PY_API is the newest API the
// build may use: the interpreter's own, or the Limited API's version.
//
// Each shim behaves as the interpreter's own function does for the way the
// binding uses it; built with the full API of 3.13 or later none of them is.
#pragma once

// Before 3.13 the '#' argument formats (s#, y#) refuse to run unless lengths
// are declared to be Py_ssize_t; 3.13 and later always take them so.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#ifdef Py_LIMITED_API
#define VORN_PY_API Py_LIMITED_API
#else
#define VORN_PY_API PY_VERSION_HEX
#endif

#if VORN_PY_API < 0x030D0000 || defined(Py_LIMITED_API)
#include <mutex>
#endif

// Before 3.11: no PyType_GetName or PyType_GetQualName. The type's __name__
// and __qualname__ attributes come from the same getters. New references.
#if VORN_PY_API < 0x030B0000
inline PyObject* PyType_GetName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}
inline PyObject* PyType_GetQualName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}
#endif

// Before 3.12: no PyErr_GetRaisedException / PyErr_SetRaisedException. The
// (type, value, traceback) triple is normalised into the one exception object
// with its traceback attached, which is what 3.12 keeps in the first place.
#if VORN_PY_API < 0x030C0000
// Returns the pending exception as a new reference and clears it, or null.
inline PyObject* PyErr_GetRaisedException() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}
// Steals `exc` (may be null: clears the indicator) and makes it pending.
inline void PyErr_SetRaisedException(PyObject* exc) {
  if (!exc) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif

// Before 3.12 PyErr_Format and PyUnicode_FromFormat do not know a precision
// given as an argument ("%.*s"): they copy the rest of the format verbatim,
// so the binding passes such texts as NUL-terminated "%s" instead. Nothing to
// shim, but a text built that way must not be written with "%.*s" again.

// Before 3.13: no PyType_GetModuleName. The type's __module__ attribute is
// what 3.13 returns (new reference; AttributeError when the type has none).
#if VORN_PY_API < 0x030D0000
inline PyObject* PyType_GetModuleName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
}
#endif

// Before 3.13, and in the Limited API: no critical sections. The
// interpreters concerned all have the GIL, which already serialises the code
// inside one, so they are plain blocks (which is also what 3.13's GIL build
// makes of them).
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

// Before 3.13, and in the Limited API: no PyMutex. A statically
// initialisable mutex that, like PyMutex, waits detached from the interpreter:
// a thread holding it may call back into the interpreter, let another thread
// run, and that thread must not then block the GIL while it waits for the
// lock. Every caller in the binding holds the GIL, as this one requires.
#if VORN_PY_API < 0x030D0000 || defined(Py_LIMITED_API)
struct PyMutex {
  std::mutex native;
};
inline void PyMutex_Lock(PyMutex* m) {
  if (m->native.try_lock()) return;
  Py_BEGIN_ALLOW_THREADS m->native.lock();
  Py_END_ALLOW_THREADS
}
inline void PyMutex_Unlock(PyMutex* m) { m->native.unlock(); }
#endif

// Before 3.13 (3.14 in the Limited API): no PyLong_FromNativeBytes. The
// value is put together from 64-bit pieces, most significant first, with the
// arithmetic of the Limited API.
#if (defined(Py_LIMITED_API) && Py_LIMITED_API < 0x030E0000) || PY_VERSION_HEX < 0x030D0000
#define Py_ASNATIVEBYTES_DEFAULTS -1
#define Py_ASNATIVEBYTES_BIG_ENDIAN 0
#define Py_ASNATIVEBYTES_LITTLE_ENDIAN 1
#define Py_ASNATIVEBYTES_NATIVE_ENDIAN 3
#define Py_ASNATIVEBYTES_UNSIGNED_BUFFER 4
#define Py_ASNATIVEBYTES_REJECT_NEGATIVE 8
#define Py_ASNATIVEBYTES_ALLOW_INDEX 16
// A new int from `n` bytes at `buffer`; `flags` as in 3.13.
inline PyObject* PyLong_FromNativeBytes(const void* buffer, std::size_t n, int flags) {
  int endian = flags == -1 ? Py_ASNATIVEBYTES_NATIVE_ENDIAN : flags & Py_ASNATIVEBYTES_NATIVE_ENDIAN;
  if (endian == Py_ASNATIVEBYTES_NATIVE_ENDIAN) endian = PY_LITTLE_ENDIAN ? 1 : 0;
  const bool is_signed = flags == -1 || !(flags & Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  // The i-th byte counting from the most significant one.
  auto byte = [&](std::size_t i) { return endian ? bytes[n - 1 - i] : bytes[i]; };
  // a op b, consuming both (either may be null after a failure).
  auto apply = [](PyObject* (*op)(PyObject*, PyObject*), PyObject* a, PyObject* b) {
    PyObject* result = a && b ? op(a, b) : nullptr;
    Py_XDECREF(a);
    Py_XDECREF(b);
    return result;
  };
  PyObject* value = PyLong_FromLong(0);
  for (std::size_t i = 0; value && i < n; i += 8) {
    const std::size_t take = n - i < 8 ? n - i : 8;
    unsigned long long piece = 0;
    for (std::size_t k = 0; k < take; ++k) piece = piece << 8 | byte(i + k);
    value = apply(PyNumber_Lshift, value, PyLong_FromSize_t(take * 8));
    value = apply(PyNumber_Or, value, PyLong_FromUnsignedLongLong(piece));
  }
  if (value && is_signed && n > 0 && (byte(0) & 0x80)) {  // two's complement: minus 2**(8n)
    value = apply(PyNumber_Subtract, value, apply(PyNumber_Lshift, PyLong_FromLong(1), PyLong_FromSize_t(8 * n)));
  }
  return value;
}
#endif

// In the Limited API up to 3.13: no PyObject_CallOneArg.
#ifdef Py_LIMITED_API
inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
  return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

// In the Limited API: no unchecked accessors of tuples, lists, bytes and
// floats. The binding uses them only where the checked functions cannot fail
// (a fresh list or tuple filled in range, an object of the exact type), so
// those do the same.
#ifdef Py_LIMITED_API
#define PyTuple_GET_SIZE(op) PyTuple_Size(op)
#define PyTuple_GET_ITEM(op, i) PyTuple_GetItem(op, i)
#define PyTuple_SET_ITEM(op, i, v) ((void)PyTuple_SetItem(op, i, v))
#define PyList_SET_ITEM(op, i, v) ((void)PyList_SetItem(op, i, v))
#define PyBytes_AS_STRING(op) PyBytes_AsString(op)
#define PyBytes_GET_SIZE(op) PyBytes_Size(op)
#define PyFloat_AS_DOUBLE(op) PyFloat_AsDouble(op)
#endif

// In the Limited API before 3.11: no buffer protocol. A view of what the
// binding reads and copies at once, with the GIL held: the bytes of a bytes
// or bytearray object in place, of any other bytes-like object through a
// copy. The refusal keeps the interpreter's own text.
#if defined(Py_LIMITED_API) && Py_LIMITED_API < 0x030B0000
struct Py_buffer {
  void* buf;
  Py_ssize_t len;
  PyObject* obj;  // what keeps `buf` alive (a new reference)
};
#define PyBUF_SIMPLE 0
inline int PyObject_GetBuffer(PyObject* obj, Py_buffer* view, int) {
  PyObject* held = nullptr;
  if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    held = Py_NewRef(obj);
  } else {
    PyObject* memory = PyMemoryView_FromObject(obj);
    if (!memory) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
      PyErr_Clear();
      PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
      if (name) PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%U'", name);
      Py_XDECREF(name);
      return -1;
    }
    held = PyBytes_FromObject(memory);
    Py_DECREF(memory);
    if (!held) return -1;
  }
  view->obj = held;
  if (PyByteArray_Check(held)) {
    view->buf = PyByteArray_AsString(held);
    view->len = PyByteArray_Size(held);
  } else {
    view->buf = PyBytes_AsString(held);
    view->len = PyBytes_Size(held);
  }
  return 0;
}
inline void PyBuffer_Release(Py_buffer* view) { Py_CLEAR(view->obj); }
#endif
