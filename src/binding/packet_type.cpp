#include "packet_type.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <new>
#include <string_view>
#include <utility>

#include "pyref.hpp"
#include "text_form.hpp"

namespace vorn::py {

namespace {

struct PacketObject {
  PyObject_HEAD IMUPacket record;
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
  Py_DECREF(type);    // instances of a heap type hold a reference to it
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

// What help() and editors show, the value fields' parts written from the
// field table. Every read makes new objects; a vector is a new list of floats
// in the order the unit sent them, each the exact value of the 32-bit float on
// the wire.
constexpr std::size_t kDocWidth = 100;  // a docstring's lines break before a word that runs past this

// Appends text to a docstring being written: its length is counted, and with
// `out` not null the text is stored there.
struct DocWriter {
  char* out;
  std::size_t n = 0;
  constexpr void put(std::string_view text) {
    for (char c : text) {
      if (out) out[n] = c;
      ++n;
    }
  }
};

// The class docstring, the raw fields named from the table; returns its
// length, and writes it into `out` when not null.
constexpr std::size_t packet_doc(char* out) {
  DocWriter w{out};
  w.put(
      "One decoded packet, read-only; get_data_packets() makes them.\n\n"
      "packet_type tells which values a packet can carry: a \"raw\" packet the sensor\nvalues (");
  bool first = true;
  for (const Field& f : kFields) {
    if (f.kind != PacketKind::Raw) continue;
    if (!first) w.put(", ");
    w.put(f.name);
    first = false;
  }
  w.put(
      "),\nan \"estimated\" packet the filter's est_ values. A value the packet did not carry\n"
      "is None. Vectors are new lists of 3 floats, quaternions of 4, in the order the unit\n"
      "sent them. str() gives the text form; repr() is the default one.");
  return w.n;
}

// A value field's docstring from its row: what it is, its shape, and which
// packets carry it, broken into lines of at most kDocWidth characters.
// Returns its length, and writes it into `out` when not null.
constexpr std::size_t value_doc(const Field& f, char* out) {
  DocWriter w{out};
  w.put(f.description);
  w.put(f.floats == 1 ? ", a float" : f.floats == 3 ? ", 3 floats" : ", 4 floats in the order sent");
  w.put(f.kind == PacketKind::Raw ? "; None unless a \"" : "; None unless an \"");
  w.put(packet_type_of(f.kind));
  w.put("\" packet carried it.");
  if (out) {
    std::size_t line = 0, space = 0;
    for (std::size_t i = 0; i < w.n; ++i) {
      if (out[i] == ' ') space = i;
      if (i - line >= kDocWidth && space > line) {
        out[space] = '\n';
        line = space + 1;
      }
    }
  }
  return w.n;
}

// A docstring written at compile time into a terminated array of its own.
template <std::size_t N, class Write>
constexpr std::array<char, N + 1> doc_text(Write write) {
  std::array<char, N + 1> text{};
  write(text.data());
  return text;
}

constexpr auto kPacketDoc = doc_text<packet_doc(nullptr)>([](char* out) { packet_doc(out); });
template <class F>
constexpr auto kValueDoc = doc_text<value_doc(F::info, nullptr)>([](char* out) { value_doc(F::info, out); });

constexpr const char kPacketTypeDoc[] = "\"raw\" (sensor values) or \"estimated\" (filter values); never None.";
constexpr const char kTimestampDoc[] =
    "When the packet was decoded: nanoseconds since the Unix epoch on the host's clock, an int; never None.";
constexpr const char kInvalidFieldsDoc[] =
    "The names of the values the unit flagged invalid, joined by \",\" (e.g. \"estPressureAlt\"),\n"
    "in the order they arrived; None when none was flagged, and always for a \"raw\" packet.\n"
    "A flagged value is still given.";

// The record's fields in order: three of every packet, then a getter per row
// of the field table.
constinit auto packet_getset = [] {
  std::array<PyGetSetDef, 3 + kFields.size() + 1> defs{{
      {"packet_type", get_packet_type, nullptr, kPacketTypeDoc, nullptr},
      {"timestamp", get_timestamp, nullptr, kTimestampDoc, nullptr},
      {"invalid_fields", get_invalid_fields, nullptr, kInvalidFieldsDoc, nullptr},
  }};
  std::size_t i = 3;
  for_each_field([&](auto f) {
    defs[i++] = {f.info.name.data(), get_value<decltype(f)>, nullptr, kValueDoc<decltype(f)>.data(), nullptr};
  });
  return defs;
}();

PyType_Slot packet_slots[] = {
    {Py_tp_doc, const_cast<char*>(kPacketDoc.data())},
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
  if (!type) return nullptr;               // the record dies with the caller's holder
  PyObject* self = packet_alloc(type, 0);  // the type's tp_alloc
  if (!self) return nullptr;
  new (&reinterpret_cast<PacketObject*>(self)->record) IMUPacket(std::move(record));
  return self;
}

}  // namespace vorn::py
