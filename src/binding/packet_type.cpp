#include "packet_type.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <iterator>
#include <new>
#include <string_view>
#include <utility>

#include "pyref.hpp"
#include "text_form.hpp"

namespace vorn::py {

namespace {

struct PacketObject {
  PyObject_HEAD
  IMUPacket record;
};

// Memory of released packets, reused by the next ones. Process-wide, guarded
// by its own lock, which is never held while calling into the interpreter.
// The count is changed only under the lock, but is also read without it as a
// hint: a drain makes packets while the list is empty and a released batch
// frees them while it is full, so most calls skip the lock altogether.
constexpr int kFreeListSize = 20;
struct FreeList {
  PyMutex lock;
  std::atomic<int> count = 0;
  void* items[kFreeListSize];
};
FreeList free_list;

// tp_alloc: a recycled block if one is free, else a new one. Returns a new
// reference to an object whose record is not yet constructed.
PyObject* packet_alloc(PyTypeObject* type, Py_ssize_t) {
  void* memory = nullptr;
  if (free_list.count.load(std::memory_order_relaxed) > 0) {
    PyMutex_Lock(&free_list.lock);
    const int count = free_list.count.load(std::memory_order_relaxed);
    if (count > 0) {
      memory = free_list.items[count - 1];
      free_list.count.store(count - 1, std::memory_order_relaxed);
    }
    PyMutex_Unlock(&free_list.lock);
  }
  if (!memory) {
    memory = PyObject_Malloc(sizeof(PacketObject));
    if (!memory) return PyErr_NoMemory();
  }
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

// tp_free: keeps the block for reuse while the free list has room.
void packet_free(void* memory) {
  bool kept = false;
  if (free_list.count.load(std::memory_order_relaxed) < kFreeListSize) {
    PyMutex_Lock(&free_list.lock);
    const int count = free_list.count.load(std::memory_order_relaxed);
    if (count < kFreeListSize) {
      free_list.items[count] = memory;
      free_list.count.store(count + 1, std::memory_order_relaxed);
      kept = true;
    }
    PyMutex_Unlock(&free_list.lock);
  }
  if (!kept) PyObject_Free(memory);
}

void packet_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PacketObject*>(self)->record.~IMUPacket();
  packet_free(self);  // the type's tp_free (it has no subclasses)
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

const IMUPacket& record_of(PyObject* self) { return reinterpret_cast<PacketObject*>(self)->record; }

PyObject* new_float(float f) { return PyFloat_FromDouble(static_cast<double>(f)); }

template <std::size_t N>
PyObject* new_float_list(const std::array<float, N>& values) {
  PyObject* list = PyList_New(N);
  if (!list) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item = new_float(values[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, item);
  }
  return list;
}

PyObject* get_packet_type(PyObject* self, void*) {
  const std::string_view text = record_of(self).packet_type();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_timestamp(PyObject* self, void*) {
  const Timestamp ts = record_of(self).timestamp();
  if (ts <= static_cast<Timestamp>(UINT64_MAX)) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(ts));
  }
  return PyLong_FromNativeBytes(&ts, sizeof ts, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
}

PyObject* get_invalid_fields(PyObject* self, void*) {
  const std::optional<std::string> text = record_of(self).invalid_fields();
  if (!text) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

// The getter of one value field: None, a float, or a new list of floats.
template <class F>
PyObject* get_value(PyObject* self, void*) {
  const auto value = record_of(self).get(F::slot);
  if (!value) Py_RETURN_NONE;
  if constexpr (F::info.floats == 1) {
    return new_float(*value);
  } else {
    return new_float_list(*value);
  }
}

PyObject* packet_str(PyObject* self) {
  const std::string text = text_form(record_of(self));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// What help() and editors show. Every read makes new objects; a vector is a
// new list of floats in the order the unit sent them, each the exact value of
// the 32-bit float on the wire.
constexpr const char kPacketDoc[] =
    "One decoded packet, read-only; get_data_packets() makes them.\n\n"
    "packet_type tells which values a packet can carry: a \"raw\" packet the sensor\n"
    "values (scaled_accel, scaled_gyro, delta_vel, delta_theta, scaled_ambient_pressure),\n"
    "an \"estimated\" packet the filter's est_ values. A value the packet did not carry\n"
    "is None. Vectors are new lists of 3 floats, quaternions of 4, in the order the unit\n"
    "sent them. str() gives the text form; repr() is the default one.";
constexpr const char kPacketTypeDoc[] = "\"raw\" (sensor values) or \"estimated\" (filter values); never None.";
constexpr const char kTimestampDoc[] =
    "When the packet was decoded: nanoseconds since the Unix epoch on the host's clock, an int; never None.";
constexpr const char kInvalidFieldsDoc[] =
    "The names of the values the unit flagged invalid, joined by \",\" (e.g. \"estPressureAlt\"),\n"
    "in the order they arrived; None when none was flagged, and always for a \"raw\" packet.\n"
    "A flagged value is still given.";
// The value fields' docstrings, by name.
using ValueDoc = std::pair<std::string_view, const char*>;
constexpr ValueDoc kValueDocs[] = {
    {"scaled_accel", "Scaled acceleration, 3 floats; None unless a \"raw\" packet carried it."},
    {"scaled_gyro", "Scaled angular rate, 3 floats; None unless a \"raw\" packet carried it."},
    {"delta_vel", "Delta velocity, 3 floats; None unless a \"raw\" packet carried it."},
    {"delta_theta", "Delta angle, 3 floats; None unless a \"raw\" packet carried it."},
    {"scaled_ambient_pressure", "Scaled ambient pressure, a float; None unless a \"raw\" packet carried it."},
    {"est_pressure_alt", "Estimated pressure altitude, a float; None unless an \"estimated\" packet carried it."},
    {"est_orient_quaternion",
     "Estimated orientation quaternion, 4 floats in the order sent; None unless an \"estimated\" packet\n"
     "carried it."},
    {"est_attitude_uncert_quaternion",
     "Estimated attitude uncertainty quaternion, 4 floats in the order sent; None unless an \"estimated\"\n"
     "packet carried it."},
    {"est_angular_rate", "Estimated angular rate, 3 floats; None unless an \"estimated\" packet carried it."},
    {"est_compensated_accel",
     "Estimated compensated acceleration, 3 floats; None unless an \"estimated\" packet carried it."},
    {"est_linear_accel", "Estimated linear acceleration, 3 floats; None unless an \"estimated\" packet carried it."},
    {"est_gravity_vector", "Estimated gravity vector, 3 floats; None unless an \"estimated\" packet carried it."},
};

// The record's fields in order: three of every packet, then a getter per row
// of the field table; a row without a docstring does not compile.
constinit auto packet_getset = [] {
  std::array<PyGetSetDef, 3 + kFields.size() + 1> defs{{
      {"packet_type", get_packet_type, nullptr, kPacketTypeDoc, nullptr},
      {"timestamp", get_timestamp, nullptr, kTimestampDoc, nullptr},
      {"invalid_fields", get_invalid_fields, nullptr, kInvalidFieldsDoc, nullptr},
  }};
  std::size_t i = 3;
  for_each_field([&](auto f) {
    const ValueDoc* doc = std::ranges::find(kValueDocs, f.info.name, &ValueDoc::first);
    if (doc == std::end(kValueDocs)) throw "a field without a docstring";
    defs[i++] = {f.info.name.data(), get_value<decltype(f)>, nullptr, doc->second, nullptr};
  });
  return defs;
}();

PyType_Slot packet_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPacketDoc)},
    {Py_tp_alloc, reinterpret_cast<void*>(packet_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(packet_free)},
    {Py_tp_dealloc, reinterpret_cast<void*>(packet_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(packet_str)},
    {Py_tp_getset, packet_getset.data()},
    {0, nullptr},
};

PyType_Spec packet_spec = {
    "builtins.IMUPacket",
    static_cast<int>(sizeof(PacketObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    packet_slots,
};

PyMutex type_lock;
// Made once, lives for the rest of the process; once set it never changes, so
// the per-packet lookup needs no lock.
std::atomic<PyTypeObject*> type_object;

}  // namespace

PyTypeObject* packet_type() {
  if (PyTypeObject* made = type_object.load(std::memory_order_acquire)) return made;
  PyMutex_Lock(&type_lock);  // waits detached from the interpreter
  PyTypeObject* type = type_object.load(std::memory_order_relaxed);
  if (!type) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&packet_spec));
    if (type) type_object.store(type, std::memory_order_release);
  }
  PyMutex_Unlock(&type_lock);
  return type;
}

PyObject* wrap_packet(IMUPacket&& record) {
  PyTypeObject* type = packet_type();
  if (!type) return nullptr;  // the record dies with the caller's holder
  PyObject* self = packet_alloc(type, 0);  // the type's tp_alloc
  if (!self) return nullptr;
  new (&reinterpret_cast<PacketObject*>(self)->record) IMUPacket(std::move(record));
  return self;
}

}  // namespace vorn::py
