// The core's field table as the vorn package sees it: FIELDS (each value
// field's packet type, columns, components, unit, description, plot panel and
// invalid-list name) and COLUMNS (the names of Framer's row columns).
#include <cstddef>
#include <string_view>

#include "native.hpp"
#include "pyref.hpp"
#include "records.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// A new tuple of the column names of one value: the field's name, with a
// suffix per component named by the field table (_x, _y, _z; _w, _x, _y, _z).
PyObject* value_columns(const Field& f) {
  Ref columns = Ref::steal(PyTuple_New(f.floats));
  if (!columns) return nullptr;
  const auto parts = f.components();
  for (std::size_t k = 0; k < f.floats; ++k) {
    PyObject* name = parts.empty() ? PyUnicode_FromStringAndSize(f.name.data(), static_cast<Py_ssize_t>(f.name.size()))
                                   : PyUnicode_FromFormat("%s_%s", f.name.data(), parts[k].data());
    if (!name) return nullptr;
    PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(k), name);
  }
  return columns.release();
}

// A new str from a view into a string literal of the field table.
PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// A new tuple of the names of a field's components (empty for one float).
PyObject* component_names(const Field& f) {
  const auto parts = f.components();
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
  if (!names) return nullptr;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    PyObject* name = text(parts[k]);
    if (!name) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
  }
  return names.release();
}

}  // namespace

PyObject* column_names() {
  Ref names = Ref::steal(Py_BuildValue("(ss)", "packet_type", "invalid_fields"));
  for (const Field& f : kFields) {
    Ref columns = Ref::steal(value_columns(f));
    if (!names || !columns) return nullptr;
    names = Ref::steal(PySequence_Concat(names.get(), columns.get()));
  }
  return names.release();
}

PyObject* field_table() {
  Ref fields = Ref::steal(PyDict_New());
  if (!fields) return nullptr;
  for (const Field& f : kFields) {
    Ref columns = Ref::steal(value_columns(f));
    Ref components = Ref::steal(component_names(f));
    Ref unit = Ref::steal(text(f.unit));
    Ref description = Ref::steal(text(f.description));
    Ref panel = f.panel.empty() ? Ref::borrow(Py_None) : Ref::steal(text(f.panel));
    if (!columns || !components || !unit || !description || !panel) return nullptr;
    Ref field = Ref::steal(Py_BuildValue(
        "{s:s, s:O, s:O, s:O, s:O, s:O, s:z}", "packet_type", packet_type_of(f.kind).data(), "columns", columns.get(),
        "components", components.get(), "unit", unit.get(), "description", description.get(), "panel", panel.get(),
        "invalid_name", f.invalid_name.empty() ? nullptr : f.invalid_name.data()));
    if (!field || PyDict_SetItemString(fields.get(), f.name.data(), field.get()) < 0) return nullptr;
  }
  return fields.release();
}

}  // namespace vorn::tools
