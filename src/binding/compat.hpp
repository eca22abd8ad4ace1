// The binding is written for the newest interpreter (3.13, with or without
// the GIL). This header supplies what older ones (3.10 to 3.12) lack, under
// the same names, so the rest of the binding never tests a version. Every
// binding file includes it instead of <Python.h>.
//
// Each shim behaves as the interpreter's own function does for the way the
// binding uses it; on 3.13 and later none of them is compiled.
#pragma once

// Before 3.13 the '#' argument formats (s#, y#) refuse to run unless lengths
// are declared to be Py_ssize_t; 3.13 and later always take them so.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#if PY_VERSION_HEX < 0x030D0000
#include <mutex>
#endif

// Before 3.11: no PyType_GetName or PyType_GetQualName. The type's __name__
// and __qualname__ attributes come from the same getters. New references.
#if PY_VERSION_HEX < 0x030B0000
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
#if PY_VERSION_HEX < 0x030C0000
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
#if PY_VERSION_HEX < 0x030D0000
inline PyObject* PyType_GetModuleName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
}
#endif

// Before 3.13: no critical sections. The interpreters concerned all have the
// GIL, which already serialises the code inside one, so they are plain blocks
// (which is also what 3.13's GIL build makes of them).
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

// Before 3.13: no PyMutex. A statically initialisable mutex that, like
// PyMutex, waits with the GIL released: a thread holding it may call back into
// the interpreter, let another thread run, and that thread must not then
// block the GIL while it waits for the lock.
#if PY_VERSION_HEX < 0x030D0000
struct PyMutex {
  std::mutex native;
};
inline void PyMutex_Lock(PyMutex* m) {
  if (m->native.try_lock()) return;
  if (!PyGILState_Check()) {
    m->native.lock();
    return;
  }
  Py_BEGIN_ALLOW_THREADS
  m->native.lock();
  Py_END_ALLOW_THREADS
}
inline void PyMutex_Unlock(PyMutex* m) { m->native.unlock(); }
#endif

// Before 3.13: no PyLong_FromNativeBytes. The older private
// _PyLong_FromByteArray (present and unchanged in 3.10 to 3.12) does the same
// conversion given the byte order and the signedness explicitly.
#if PY_VERSION_HEX < 0x030D0000
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
  return _PyLong_FromByteArray(static_cast<const unsigned char*>(buffer), n, endian, is_signed);
}
#endif
