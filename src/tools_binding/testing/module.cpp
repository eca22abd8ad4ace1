// The module object of vorn_native_testing.
#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include "pyref.hpp"
#include "testing.hpp"

namespace vorn::tools {

namespace {

int exec_module(PyObject* module) {
  py::Ref clock = py::Ref::steal(make_sample_clock_type(module));
  if (!clock) return -1;
  return PyModule_AddObjectRef(module, "SampleClock", clock.get());
}

PyMethodDef functions[] = {
    {"sample_times", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_times)),
     METH_VARARGS | METH_KEYWORDS,
     "sample_times(first_ns, first_bytes, done_ns, lengths, kinds, lost, baud, wall_minus_mono_ns=None)\n--\n\n"
     "The unit's sample time of each packet of a whole recording (int64 bytes, ns; plus wall_minus_mono_ns) "
     "and each stream's figures."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorn_native_testing",
    "The sample clock's entry points for tests and benchmarks: the vorn_rs core's online SampleClock and "
    "sample_times() over a whole recording's packets.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorn::tools

PyMODINIT_FUNC PyInit_vorn_native_testing(void) { return PyModuleDef_Init(&vorn::tools::module_def); }
