#include "errors.hpp"

#include <string>

#include "pyref.hpp"

namespace vorn::py {

namespace {
PyMutex fatal_type_lock;
PyObject* fatal_type;  // created once, lives for the rest of the process

constexpr const char kFatalDoc[] =
    "Raised when native code called from Python fails in a way the caller cannot handle\n"
    "(a broken invariant, a call from a thread that does not own the object, ...).\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so it normally\n"
    "propagates to the top and ends the interpreter.";
}  // namespace

PyObject* fatal_error_type() {
  PyMutex_Lock(&fatal_type_lock);  // waits detached from the interpreter
  if (!fatal_type) {
    fatal_type = PyErr_NewExceptionWithDoc("vorn_rs.FatalError", kFatalDoc, PyExc_BaseException, nullptr);
  }
  PyObject* type = fatal_type;
  PyMutex_Unlock(&fatal_type_lock);
  return type;
}

PyObject* raise_fatal(std::string_view message) {
  PyObject* type = fatal_error_type();
  if (!type) return nullptr;
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), message.size()));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_os(std::string_view text) {
  Ref arg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
  // A single non-tuple value becomes the one constructor argument, so the
  // result is a plain OSError (no errno-based subclass).
  if (arg) PyErr_SetObject(PyExc_OSError, arg.get());
  return nullptr;
}

PyObject* raise_os_with_errno(std::string_view text, int err) {
  Ref arg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
  if (!arg) return nullptr;
  Ref error = Ref::steal(PyObject_CallOneArg(PyExc_OSError, arg.get()));
  if (!error) return nullptr;
  Ref code = Ref::steal(PyLong_FromLong(err));
  // errno alone, without strerror: str() stays the text.
  if (!code || PyObject_SetAttrString(error.get(), "errno", code.get()) < 0) return nullptr;
  PyErr_SetObject(PyExc_OSError, error.get());
  return nullptr;
}

PyObject* raise_failure(const Failure& failure) {
  if (failure.kind == Failure::Kind::Fatal) return raise_fatal(failure.message);
  if (failure.code == Errc::OutOfResource) return raise_os_with_errno(failure.message, failure.err);
  return raise_os(failure.message);
}

PyObject* raise_cast(PyObject* obj, std::string_view target) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return nullptr;
  const std::string target_text(target);
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), target_text.c_str());
  return nullptr;
}

void prefix_argument_error(const char* name) {
  if (PyErr_Occurred() != PyExc_TypeError) {  // exactly TypeError, not a subclass
    return;
  }
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyObject_Str(cause.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref outer = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!outer) return;
  PyException_SetCause(outer.get(), cause.release());  // steals the cause
  PyErr_SetRaisedException(outer.release());
}

}  // namespace vorn::py
