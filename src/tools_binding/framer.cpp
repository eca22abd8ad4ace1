// Framer: the core's framing and decoding over a byte stream fed in pieces,
// counting what it passes over, and optionally handing out one row of plain
// values per packet.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framing.hpp"
#include "native.hpp"
#include "places.hpp"
#include "pyref.hpp"
#include "records.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// The leading text columns and then every value component.
constexpr Py_ssize_t kRowWidth = [] {
  Py_ssize_t n = 2;
  for (const Field& f : kFields) n += f.floats;
  return n;
}();

// One component of a value, a float or an array of them.
float component_of(float value, std::size_t) { return value; }
template <std::size_t N>
float component_of(const std::array<float, N>& value, std::size_t k) {
  return value[k];
}

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
  std::array<std::uint64_t, 8> invalid{};  // filter packets flagging each invalid-list code
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
    // Each code once per packet, however often the packet repeats it.
    const InvalidNames names = packet.invalid_names();
    unsigned seen = 0;
    for (std::size_t i = 0; i < names.size(); ++i) seen |= 1u << (static_cast<unsigned>(names[i]) & 7u);
    for (std::size_t code = 0; seen != 0; ++code, seen >>= 1) invalid[code] += seen & 1u;
    if (keep_rows) rows.push_back(std::move(packet));
    return true;
  }

 private:
  static void bump(std::map<std::string, std::uint64_t, std::less<>>& counts, std::string_view name) {
    auto it = counts.find(name);
    if (it == counts.end()) it = counts.emplace(std::string(name), 0).first;
    ++it->second;
  }
};

// The filter fields a unit can flag invalid, in record order: one flag
// column each.
constexpr std::size_t kFlagColumns = [] {
  std::size_t n = 0;
  for (const Field& f : kFields) n += f.flag != EstField{} ? 1 : 0;
  return n;
}();

// The flag column of each invalid-list code (the code's field), in record order.
constexpr auto kFlagColumnOf = [] {
  std::array<std::uint8_t, 8> column{};
  std::uint8_t n = 0;
  for (const Field& f : kFields) {
    if (f.flag != EstField{}) column[static_cast<std::size_t>(f.flag) & 7u] = n++;
  }
  return column;
}();

constexpr std::size_t kValueColumns = static_cast<std::size_t>(kRowWidth) - 2;

// The packets of one columns() call, each with the read that completed it,
// where it began in the stream, its length and whether bytes were lost just
// before it (for the sample clock). Kept by the framer from call to call, so
// that their memory is touched once rather than afresh for every piece of a
// recording.
struct ColumnScratch {
  std::vector<IMUPacket> packets;
  std::vector<std::uint32_t> reads;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint8_t> lost;
};

// Keeps the packets framing completes in the scratch, and passes every packet
// on to the tally for its counts.
class ColumnSink final : public PacketSender {
 public:
  ColumnSink(Tally& tally, ColumnScratch& scratch, const PlaceObserver& place)
      : packets(scratch.packets), reads(scratch.reads), scratch_(scratch), tally_(tally), place_(place) {
    packets.clear();
    reads.clear();
    scratch.offsets.clear();
    scratch.lengths.clear();
    scratch.lost.clear();
  }

  std::uint32_t read = 0;  // the read being framed
  std::vector<IMUPacket>& packets;
  std::vector<std::uint32_t>& reads;

  bool send(IMUPacket& p) override {
    tally_.send(p);  // counts its flags; keeps nothing (columns need a framer without rows)
    packets.push_back(std::move(p));
    reads.push_back(read);
    scratch_.offsets.push_back(place_.offset);
    scratch_.lengths.push_back(place_.length);
    scratch_.lost.push_back(place_.lost ? 1 : 0);
    return true;
  }

 private:
  ColumnScratch& scratch_;
  Tally& tally_;
  const PlaceObserver& place_;
};

struct FramerObject {
  PyObject_HEAD Tally tally;
  std::vector<std::uint8_t> buffer;  // bytes kept for the next feed
  ColumnScratch scratch;
  StreamPlace place;
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
  new (&f->scratch) ColumnScratch();
  new (&f->place) StreamPlace();
  new (&f->busy) std::atomic<bool>(false);
  f->tally.keep_rows = rows != 0;
  return self;
}

void framer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FramerObject* f = as_framer(self);
  std::destroy_at(&f->tally);
  std::destroy_at(&f->buffer);
  std::destroy_at(&f->scratch);
  std::destroy_at(&f->place);
  std::destroy_at(&f->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// One row (a new tuple): packet_type, invalid_fields or None, then every
// value component in COLUMNS order, None where the packet has no value.
PyObject* make_row(const IMUPacket& p) {
  Ref row = Ref::steal(PyTuple_New(kRowWidth));
  if (!row) return nullptr;
  const std::string_view type = p.packet_type();
  PyObject* kind = PyUnicode_FromStringAndSize(type.data(), static_cast<Py_ssize_t>(type.size()));
  if (!kind) return nullptr;
  PyTuple_SET_ITEM(row.get(), 0, kind);
  const std::optional<std::string> names = p.invalid_fields();
  PyObject* invalid =
      names ? PyUnicode_FromStringAndSize(names->data(), static_cast<Py_ssize_t>(names->size())) : Py_NewRef(Py_None);
  if (!invalid) return nullptr;
  PyTuple_SET_ITEM(row.get(), 1, invalid);
  Py_ssize_t i = 2;
  bool ok = true;
  for_each_field([&](auto f) {
    const auto value = p.get(f.slot);
    for (std::size_t k = 0; k < f.info.floats && ok; ++k) {
      PyObject* item = value ? PyFloat_FromDouble(static_cast<double>(component_of(*value, k))) : Py_NewRef(Py_None);
      if (!item)
        ok = false;
      else
        PyTuple_SET_ITEM(row.get(), i++, item);
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
  const std::size_t held = f->buffer.size();
  (void)process_buffer(f->buffer, f->tally, no_clock, &f->tally);
  f->place.base += held - f->buffer.size();
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

// A new bytes object of `size` bytes, and where to write them.
PyObject* new_bytes(std::size_t size, char*& buf) {
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  Py_ssize_t len = 0;
  if (!out || PyBytes_AsStringAndSize(out.get(), &buf, &len) < 0) return nullptr;
  return out.release();
}

template <class T>
PyObject* as_bytes(const std::vector<T>& items) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                   static_cast<Py_ssize_t>(items.size() * sizeof(T)));
}

}  // namespace

// The kinds, values and flags of the packets, each column contiguous. Filled
// a block of packets at a time in a small column-major scratch, so that the
// stores into the columns are whole runs rather than one float per column.
void fill_columns(std::span<const IMUPacket> packets, char* kinds_out, char* values_out, char* flags_out) {
  constexpr std::size_t kBlock = 64;
  const std::size_t n = packets.size();
  auto* values = reinterpret_cast<float*>(values_out);
  auto* flags = reinterpret_cast<std::uint8_t*>(flags_out);
  float scratch[kValueColumns][kBlock];
  std::uint8_t flag_scratch[kFlagColumns][kBlock];
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t m = std::min(kBlock, n - first);
    std::memset(flag_scratch, 0, sizeof flag_scratch);
    // Absent until given: each packet then writes only its own kind's values
    // that it has, about half of the columns.
    std::fill(&scratch[0][0], &scratch[0][0] + kValueColumns * kBlock, std::numeric_limits<float>::quiet_NaN());
    for (std::size_t i = 0; i < m; ++i) {
      const IMUPacket& p = packets[first + i];
      const PacketKind kind = p.kind();
      kinds_out[first + i] = static_cast<char>(kind);
      std::size_t c = 0;
      for_each_field([&](auto f) {
        if (f.info.kind == kind) {
          if (const auto value = p.get(f.slot)) {
            for (std::size_t k = 0; k < f.info.floats; ++k) scratch[c + k][i] = component_of(*value, k);
          }
        }
        c += f.info.floats;
      });
      const InvalidNames names = p.invalid_names();
      for (std::size_t j = 0; j < names.size(); ++j) {
        flag_scratch[kFlagColumnOf[static_cast<std::size_t>(names[j]) & 7u]][i] = 1;
      }
    }
    for (std::size_t c = 0; c < kValueColumns; ++c) std::memcpy(values + c * n + first, scratch[c], m * sizeof(float));
    for (std::size_t c = 0; c < kFlagColumns; ++c) std::memcpy(flags + c * n + first, flag_scratch[c], m);
  }
}

const std::size_t kValueColumnCount = kValueColumns;
const std::size_t kFlagColumnCount = kFlagColumns;

namespace {

// columns(data, ends): frames `data` after the bytes kept from earlier feeds,
// one read at a time: `ends` (native int64s, non-decreasing) are where in
// `data` each read ends, and the bytes after the last end are one read more.
// Returns (kinds, reads, values, flags) as bytes for the packets completed:
// the PacketKind of each (uint8), the index of the read that completed it
// (uint32), every value component in COLUMNS order as float32, NaN where the
// packet has no value (column after column), and for each field the unit can
// flag, 1 where it did (uint8, column after column). With values false, the
// values and flags are left empty: what places() needs alone.
PyObject* framer_columns(PyObject* self, PyObject* args) {
  PyObject* data_obj = nullptr;
  PyObject* ends_obj = nullptr;
  int values_wanted = 1;
  if (!PyArg_ParseTuple(args, "OO|p:columns", &data_obj, &ends_obj, &values_wanted)) return nullptr;
  FramerObject* f = as_framer(self);
  if (f->tally.keep_rows) {
    PyErr_SetString(PyExc_ValueError, "columns() needs a framer made without rows");
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  char* ends_raw = nullptr;
  Py_ssize_t ends_size = 0;
  if (PyBytes_AsStringAndSize(data_obj, &data, &size) < 0 ||
      PyBytes_AsStringAndSize(ends_obj, &ends_raw, &ends_size) < 0) {
    return nullptr;
  }
  if (ends_size % static_cast<Py_ssize_t>(sizeof(std::int64_t)) != 0) {
    PyErr_SetString(PyExc_ValueError, "ends must be whole int64s");
    return nullptr;
  }
  std::vector<std::int64_t> ends(static_cast<std::size_t>(ends_size) / sizeof(std::int64_t));
  if (!ends.empty()) std::memcpy(ends.data(), ends_raw, static_cast<std::size_t>(ends_size));
  std::int64_t last = 0;
  for (std::int64_t e : ends) {
    if (e < last || e > size) {
      PyErr_SetString(PyExc_ValueError, "ends must rise within the data");
      return nullptr;
    }
    last = e;
  }
  ends.push_back(size);
  if (ends.size() > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_ValueError, "too many reads in one call");
    return nullptr;
  }
  BusyGuard guard(f->busy);
  if (!guard) return nullptr;
  PlaceObserver observer(f->place, &f->tally);
  ColumnSink sink(f->tally, f->scratch, observer);
  const auto expected = static_cast<std::size_t>(size) / 48 + 16;  // packets are 50 to 120 bytes
  sink.packets.reserve(expected);
  sink.reads.reserve(expected);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  PyThreadState* released = PyEval_SaveThread();
  std::int64_t begin = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    if (ends[i] == begin && i + 1 < ends.size()) continue;  // an empty read completes nothing
    sink.read = static_cast<std::uint32_t>(i);
    f->buffer.insert(f->buffer.end(), bytes + begin, bytes + ends[i]);
    // Every sender call accepts, so framing always runs to the end of the buffer.
    const std::size_t held = f->buffer.size();
    (void)process_buffer(f->buffer, sink, no_clock, &observer);
    f->place.base += held - f->buffer.size();
    begin = ends[i];
  }
  f->tally.bytes += static_cast<std::uint64_t>(size);
  PyEval_RestoreThread(released);
  const std::size_t n = sink.packets.size();
  const std::size_t decoded = values_wanted ? n : 0;
  char *kinds_buf = nullptr, *values_buf = nullptr, *flags_buf = nullptr;
  Ref kinds = Ref::steal(new_bytes(n, kinds_buf));
  Ref values = Ref::steal(kinds ? new_bytes(decoded * kValueColumns * sizeof(float), values_buf) : nullptr);
  Ref flags = Ref::steal(values ? new_bytes(decoded * kFlagColumns, flags_buf) : nullptr);
  Ref reads = Ref::steal(flags ? as_bytes(sink.reads) : nullptr);
  if (!reads) return nullptr;
  if (values_wanted) {
    fill_columns(sink.packets, kinds_buf, values_buf, flags_buf);
  } else {
    for (std::size_t i = 0; i < n; ++i) kinds_buf[i] = static_cast<char>(sink.packets[i].kind());
  }
  return PyTuple_Pack(4, kinds.get(), reads.get(), values.get(), flags.get());
}

// places(): for the packets of the last columns() call, where each began in
// the stream (uint64, bytes from the first byte framed), its length (uint32)
// and whether bytes were skipped or a checksum failed since the good packet
// before it (uint8), as a tuple of bytes.
PyObject* framer_places(PyObject* self, PyObject*) {
  FramerObject* f = as_framer(self);
  BusyGuard guard(f->busy);
  if (!guard) return nullptr;
  Ref offsets = Ref::steal(as_bytes(f->scratch.offsets));
  Ref lengths = Ref::steal(offsets ? as_bytes(f->scratch.lengths) : nullptr);
  Ref lost = Ref::steal(lengths ? as_bytes(f->scratch.lost) : nullptr);
  if (!lost) return nullptr;
  return PyTuple_Pack(3, offsets.get(), lengths.get(), lost.get());
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
      !put_count(d.get(), "estimated", t.estimated) || !put_count(d.get(), "noise", t.bytes - t.good_bytes - pending) ||
      !put_count(d.get(), "pending", pending) || !put_count(d.get(), "bad_checksums", t.bad_checksums)) {
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
  // By name, as the invalid list shows them.
  std::map<std::string, std::uint64_t, std::less<>> by_name;
  for (std::size_t code = 0; code < t.invalid.size(); ++code) {
    if (t.invalid[code] != 0) by_name[std::string(invalid_name(static_cast<EstField>(code)))] += t.invalid[code];
  }
  Ref invalid = Ref::steal(name_counts(by_name));
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
    {"columns", framer_columns, METH_VARARGS,
     "columns($self, data, ends, values=True, /)\n--\n\nFrames data one read at a time (ends: where each read "
     "ends, as native int64s); returns (kinds, reads, values, flags) of the packets completed, as bytes "
     "(values and flags empty without values)."},
    {"counts", framer_counts, METH_NOARGS, "counts($self)\n--\n\nWhat framing has seen so far, as a dict."},
    {"places", framer_places, METH_NOARGS,
     "places($self)\n--\n\nFor the packets of the last columns() call: (offsets, lengths, lost) as bytes "
     "of uint64, uint32 and uint8: where each began in the stream, its length, and whether bytes were lost "
     "before it."},
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

PyObject* make_framer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &framer_spec, nullptr); }

}  // namespace vorn::tools
