// The module vorn_rs: made once per process, in the first interpreter that
// imports it, and handed out again on every later import there.
#include "compat.hpp"

#include <atomic>
#include <cstdint>

#include "packet_type.hpp"
#include "parser_types.hpp"
#include "pyref.hpp"

namespace vorn::py {

namespace {

constexpr const char kModuleDoc[] =
    "Decodes the packet stream of an inertial measurement unit into IMUPacket objects.\n\n"
    "SerialParser reads a live unit on a serial port, MockParser replays a recording;\n"
    "each reads on a background thread once started (start() or a with block), and\n"
    "get_data_packets() returns what it has decoded so far. Works with and without the\n"
    "GIL; on a free-threaded interpreter it keeps the GIL disabled.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vorn_rs", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that made the module, -1 until one did.
std::atomic<std::int64_t> owner_interpreter{-1};
PyMutex module_lock;
PyObject* module_object;  // lives for the rest of the process once made

// Appends `name` to the module's __all__, creating the list when missing.
bool add_to_all(PyObject* module, const char* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0;
}

// Publishes `value` (a new reference, or null after a failure) as `name`.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned || !add_to_all(module, name)) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool populate(PyObject* module) {
  return add_attribute(module, "SerialParser", Py_XNewRef(reinterpret_cast<PyObject*>(serial_parser_type()))) &&
         add_attribute(module, "MockParser", Py_XNewRef(reinterpret_cast<PyObject*>(mock_parser_type()))) &&
         add_attribute(module, "IMUPacket", Py_XNewRef(reinterpret_cast<PyObject*>(packet_type()))) &&
         add_attribute(module, "VERSION", PyUnicode_FromString(VORN_VERSION)) &&
         add_attribute(module, "RELEASE_BUILD", Py_NewRef(Py_True));
}

PyObject* make_module() {
  Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  if (!populate(module.get())) return nullptr;
  return module.release();
}

PyObject* init() {
  const std::int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (here < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t first = -1;
  if (!owner_interpreter.compare_exchange_strong(first, here) && first != here) {
    PyErr_SetString(PyExc_ImportError,
                    "vorn_rs does not yet support subinterpreters: it can be imported in one interpreter "
                    "per process only");
    return nullptr;
  }
  PyMutex_Lock(&module_lock);                         // a second importer waits here, detached
  if (!module_object) module_object = make_module();  // a failure leaves the cell empty
  PyObject* module = Py_XNewRef(module_object);
  PyMutex_Unlock(&module_lock);
  return module;
}

}  // namespace

}  // namespace vorn::py

PyMODINIT_FUNC PyInit_vorn_rs(void) { return vorn::py::init(); }
