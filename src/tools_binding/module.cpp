// The module object of vorn._native.
#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include "native.hpp"
#include "pyref.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// Publishes `value` (a new reference, or null after a failure) as `name`.
int add(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

int exec_module(PyObject* module) {
  if (add(module, "Port", make_port_type(module)) < 0) return -1;
  if (add(module, "Framer", make_framer_type(module)) < 0) return -1;
  if (add(module, "RecordingClock", make_recording_clock_type(module)) < 0) return -1;
  if (add(module, "LiveFrames", make_live_frames_type(module)) < 0) return -1;
  if (add(module, "PortReader", make_port_reader_type(module)) < 0) return -1;
  if (add(module, "McapWriter", make_mcap_writer_type(module)) < 0) return -1;
  if (add(module, "RosPacker", make_ros_packer_type(module)) < 0) return -1;
  if (add(module, "FIELDS", field_table()) < 0) return -1;
  if (add_ros_tables(module) < 0) return -1;
  if (add_times_functions(module) < 0) return -1;
  return add(module, "COLUMNS", column_names());
}

PyMethodDef functions[] = {
    {"set_line", set_line, METH_VARARGS,
     "set_line(fd, baudrate, /)\n--\n\nSets an open terminal's line as SerialParser does and returns "
     "(input speed, output speed, taken): the speeds read back and whether SerialParser would accept them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_GIL_DISABLED
    // Each object guards itself (BusyGuard); the core keeps no global state.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn._native",
    "Serial reads and framing counts from the vorn_rs core, for the vorn command.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorn::tools

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vorn::tools::module_def); }
