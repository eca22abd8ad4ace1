// Framer: the core's framing and decoding over a byte stream fed in pieces,
// counting what it passes over, and optionally handing out one row of plain
// values per packet.
#include <array>
#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framing.hpp"
#include "native.hpp"
#include "pyref.hpp"
#include "records.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// Calls f(name, value) for each value field of the record, in record order.
// The one place that knows the record's layout; rows and column names follow it.
template <class F>
void for_each_value(const IMUPacket& p, F&& f) {
  f("scaled_accel", p.scaled_accel());
  f("scaled_gyro", p.scaled_gyro());
  f("delta_vel", p.delta_vel());
  f("delta_theta", p.delta_theta());
  f("scaled_ambient_pressure", p.scaled_ambient_pressure());
  f("est_pressure_alt", p.est_pressure_alt());
  f("est_orient_quaternion", p.est_orient_quaternion());
  f("est_attitude_uncert_quaternion", p.est_attitude_uncert_quaternion());
  f("est_angular_rate", p.est_angular_rate());
  f("est_compensated_accel", p.est_compensated_accel());
  f("est_linear_accel", p.est_linear_accel());
  f("est_gravity_vector", p.est_gravity_vector());
}

constexpr std::size_t width_of(const std::optional<float>&) { return 1; }
template <std::size_t N>
constexpr std::size_t width_of(const std::optional<std::array<float, N>>&) {
  return N;
}

// The leading text columns and then every value component.
Py_ssize_t row_width() {
  static const Py_ssize_t width = [] {
    std::size_t n = 2;
    for_each_value(IMUPacket(), [&n](const char*, const auto& value) { n += width_of(value); });
    return static_cast<Py_ssize_t>(n);
  }();
  return width;
}

// Component suffixes: vectors by axis, quaternions by element index.
constexpr std::array<const char*, 3> kAxes = {"_x", "_y", "_z"};
constexpr std::array<const char*, 4> kElements = {"_0", "_1", "_2", "_3"};

// Recordings carry no time of their own, so rows are not stamped.
std::optional<Timestamp> no_clock() { return Timestamp{0}; }

// Counts for one stream; also the sender that framing hands records to.
class Tally final : public FrameObserver, public PacketSender {
 public:
  std::uint64_t bytes = 0;
  std::uint64_t good_bytes = 0;
  std::uint64_t raw = 0;
  std::uint64_t estimated = 0;
  std::uint64_t bad_checksums = 0;
  std::map<std::uint8_t, std::uint64_t> other_sets;
  std::map<std::string, std::uint64_t, std::less<>> wrong_lengths;
  std::map<std::string, std::uint64_t, std::less<>> invalid;  // filter packets flagging each name
  bool keep_rows = false;
  std::vector<IMUPacket> rows;  // this feed's records, when kept

  void good_packet(std::uint8_t descriptor_set, std::size_t size) override {
    good_bytes += size;
    if (descriptor_set == kRawSet) {
      ++raw;
    } else if (descriptor_set == kEstimatedSet) {
      ++estimated;
    } else {
      ++other_sets[descriptor_set];
    }
  }
  void bad_checksum() override { ++bad_checksums; }
  void wrong_length(std::string_view name) override { bump(wrong_lengths, name); }

  bool send(IMUPacket& packet) override {
    if (std::optional<std::string> names = packet.invalid_fields()) count_invalid(*names);
    if (keep_rows) rows.push_back(std::move(packet));
    return true;
  }

 private:
  static void bump(std::map<std::string, std::uint64_t, std::less<>>& counts, std::string_view name) {
    auto it = counts.find(name);
    if (it == counts.end()) it = counts.emplace(std::string(name), 0).first;
    ++it->second;
  }

  // Each name once per packet, however often the packet repeats it.
  void count_invalid(std::string_view joined) {
    std::vector<std::string_view> seen;
    while (!joined.empty()) {
      const std::size_t comma = joined.find(',');
      const std::string_view name = joined.substr(0, comma);
      joined = comma == std::string_view::npos ? std::string_view() : joined.substr(comma + 1);
      bool repeated = false;
      for (std::string_view s : seen) repeated = repeated || s == name;
      if (repeated) continue;
      seen.push_back(name);
      bump(invalid, name);
    }
  }
};

struct FramerObject {
  PyObject_HEAD
  Tally tally;
  std::vector<std::uint8_t> buffer;  // bytes kept for the next feed
  std::atomic<bool> busy;
};

FramerObject* as_framer(PyObject* self) { return reinterpret_cast<FramerObject*>(self); }

PyObject* framer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"rows", nullptr};
  int rows = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p:Framer", const_cast<char**>(names), &rows)) return nullptr;
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  FramerObject* f = as_framer(self);
  new (&f->tally) Tally();
  new (&f->buffer) std::vector<std::uint8_t>();
  new (&f->busy) std::atomic<bool>(false);
  f->tally.keep_rows = rows != 0;
  return self;
}

void framer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FramerObject* f = as_framer(self);
  std::destroy_at(&f->tally);
  std::destroy_at(&f->buffer);
  std::destroy_at(&f->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new float for a present component, a new reference to None otherwise.
PyObject* component(bool present, float value) {
  return present ? PyFloat_FromDouble(static_cast<double>(value)) : Py_NewRef(Py_None);
}

// One row (a new tuple): packet_type, invalid_fields or None, then every
// value component in COLUMNS order, None where the packet has no value.
PyObject* make_row(const IMUPacket& p) {
  Ref row = Ref::steal(PyTuple_New(row_width()));
  if (!row) return nullptr;
  const std::string_view type = p.packet_type();
  PyObject* kind = PyUnicode_FromStringAndSize(type.data(), static_cast<Py_ssize_t>(type.size()));
  if (!kind) return nullptr;
  PyTuple_SET_ITEM(row.get(), 0, kind);
  const std::optional<std::string> names = p.invalid_fields();
  PyObject* invalid = names ? PyUnicode_FromStringAndSize(names->data(), static_cast<Py_ssize_t>(names->size()))
                            : Py_NewRef(Py_None);
  if (!invalid) return nullptr;
  PyTuple_SET_ITEM(row.get(), 1, invalid);
  Py_ssize_t i = 2;
  bool ok = true;
  for_each_value(p, [&](const char*, const auto& value) {
    const std::size_t n = width_of(value);
    for (std::size_t k = 0; k < n && ok; ++k) {
      float v = 0.0f;
      if constexpr (requires { value->size(); }) {
        if (value) v = (*value)[k];
      } else {
        if (value) v = *value;
      }
      PyObject* item = component(value.has_value(), v);
      if (!item) ok = false;
      else PyTuple_SET_ITEM(row.get(), i++, item);
    }
  });
  return ok ? row.release() : nullptr;
}

// feed(data): frames `data` after the bytes kept from earlier feeds. Returns a
// new list of rows for the packets completed, or None without rows.
PyObject* framer_feed(PyObject* self, PyObject* data) {
  FramerObject* f = as_framer(self);
  BusyGuard guard(f->busy);
  if (!guard) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const auto* bytes = static_cast<const std::uint8_t*>(view.buf);
  f->buffer.insert(f->buffer.end(), bytes, bytes + view.len);
  f->tally.bytes += static_cast<std::uint64_t>(view.len);
  PyBuffer_Release(&view);
  // Every sender call accepts, so framing always runs to the end of the buffer.
  (void)process_buffer(f->buffer, f->tally, no_clock, &f->tally);
  if (!f->tally.keep_rows) Py_RETURN_NONE;

  std::vector<IMUPacket> rows;
  rows.swap(f->tally.rows);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    PyObject* row = make_row(rows[i]);
    if (!row) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  rows.clear();
  rows.swap(f->tally.rows);  // keep the storage for the next feed
  return list.release();
}

// Sets d[key] = a new int of value; false with an exception on failure.
bool put_count(PyObject* d, const char* key, std::uint64_t value) {
  Ref v = Ref::steal(PyLong_FromUnsignedLongLong(value));
  return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

PyObject* name_counts(const std::map<std::string, std::uint64_t, std::less<>>& counts) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [name, n] : counts) {
    if (!put_count(d.get(), name.c_str(), n)) return nullptr;
  }
  return d.release();
}

// counts(): a new dict of what framing has seen so far. "noise" counts bytes
// that can no longer become part of a packet; "pending" the bytes kept for the
// next feed, which are noise too if the stream ends here.
PyObject* framer_counts(PyObject* self, PyObject*) {
  FramerObject* f = as_framer(self);
  BusyGuard guard(f->busy);
  if (!guard) return nullptr;
  const Tally& t = f->tally;
  const std::uint64_t pending = f->buffer.size();
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if (!put_count(d.get(), "bytes", t.bytes) || !put_count(d.get(), "raw", t.raw) ||
      !put_count(d.get(), "estimated", t.estimated) ||
      !put_count(d.get(), "noise", t.bytes - t.good_bytes - pending) || !put_count(d.get(), "pending", pending) ||
      !put_count(d.get(), "bad_checksums", t.bad_checksums)) {
    return nullptr;
  }
  Ref sets = Ref::steal(PyDict_New());
  if (!sets) return nullptr;
  for (const auto& [set, n] : t.other_sets) {
    Ref key = Ref::steal(PyLong_FromLong(set));
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(n));
    if (!key || !value || PyDict_SetItem(sets.get(), key.get(), value.get()) < 0) return nullptr;
  }
  Ref wrong = Ref::steal(name_counts(t.wrong_lengths));
  Ref invalid = Ref::steal(name_counts(t.invalid));
  if (!wrong || !invalid || PyDict_SetItemString(d.get(), "other_sets", sets.get()) < 0 ||
      PyDict_SetItemString(d.get(), "wrong_length", wrong.get()) < 0 ||
      PyDict_SetItemString(d.get(), "invalid", invalid.get()) < 0) {
    return nullptr;
  }
  return d.release();
}

PyMethodDef framer_methods[] = {
    {"feed", framer_feed, METH_O,
     "feed($self, data, /)\n--\n\nFrames data after what earlier feeds left over; returns the rows of the "
     "packets it completed, or None for a framer made without rows."},
    {"counts", framer_counts, METH_NOARGS, "counts($self)\n--\n\nWhat framing has seen so far, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot framer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(framer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(framer_dealloc)},
    {Py_tp_methods, framer_methods},
    {Py_tp_doc, const_cast<char*>("Framer(rows=False)\n--\n\nThe core's framing over a stream fed in pieces.")},
    {0, nullptr},
};

PyType_Spec framer_spec = {"vorn._native.Framer", static_cast<int>(sizeof(FramerObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, framer_slots};

}  // namespace

PyObject* column_names() {
  IMUPacket none;
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  bool ok = true;
  auto append = [&](const std::string& name) {
    Ref text = Ref::steal(PyUnicode_FromString(name.c_str()));
    ok = ok && text && PyList_Append(names.get(), text.get()) == 0;
  };
  append("packet_type");
  append("invalid_fields");
  for_each_value(none, [&](const char* name, const auto& value) {
    const std::size_t n = width_of(value);
    for (std::size_t k = 0; k < n; ++k) {
      append(std::string(name) + (n == 1 ? "" : n == 3 ? kAxes[k] : kElements[k]));
    }
  });
  return ok ? PyList_AsTuple(names.get()) : nullptr;
}

PyObject* make_framer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &framer_spec, nullptr); }

}  // namespace vorn::tools
