// McapWriter: the export's MCAP records and ROS 2 messages, packed by the
// core's writer from columns. Python writes the bytes it hands out and
// compresses the chunks it closes (in other threads, while the next ones are
// packed, working out their CRCs there too), then hands each back
// compressed, oldest first.
#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcap_records.hpp"
#include "native.hpp"
#include "pyref.hpp"
#include "ros_columns.hpp"
#include "ros_messages.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// The writer's rooms: bytearrays, each holding one chunk's records from its
// first message on, and handed out as it is (a read-only view of what it
// holds) once the chunk closes, so that no chunk is copied on its way to the
// compressors. A room is pinned (a view of it held, so that nobody resizes it)
// from its lending on, and kept idle after its chunk is written: once nothing
// else refers to it, it is lent again. Memory that the threads that
// compressed a chunk would free instead stays where it is, and a long export
// needs no more of it than a short one.
class ByteArrayRooms final : public mcap::Rooms {
 public:
  struct Room {
    PyObject* array;
    PyObject* pin;  // a memoryview of it: an export, which no resizing gets past
    std::uint8_t* data;
    std::size_t size;
  };
  ByteArrayRooms() = default;
  ByteArrayRooms(const ByteArrayRooms&) = delete;
  ByteArrayRooms& operator=(const ByteArrayRooms&) = delete;
  ~ByteArrayRooms() {
    for (auto* rooms : {&lent, &handed, &idle}) {
      for (Room& r : *rooms) drop(r);
    }
  }

  // Called by the writer inside pack(), which runs with the thread state
  // detached (kept here): a bytearray needs it attached for a moment.
  std::span<std::uint8_t> lend(std::size_t size) override {
    if (detached) PyEval_RestoreThread(detached);
    std::span<std::uint8_t> out;
    // Nobody reads an idle room any more once the only references to it are
    // this object's own: the room's and its pin's (every view handed out has
    // one of its own).
    const auto reusable = std::find_if(idle.begin(), idle.end(),
                                       [&](const Room& r) { return Py_REFCNT(r.array) == 2 && r.size >= size; });
    if (reusable != idle.end()) {
      lent.push_back(*reusable);
      idle.erase(reusable);
      out = {lent.back().data, size};
    } else {
      Room r{PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)), nullptr, nullptr, size};
      r.pin = r.array ? PyMemoryView_FromObject(r.array) : nullptr;
      if (r.pin) {
        r.data = reinterpret_cast<std::uint8_t*>(PyByteArray_AsString(r.array));
        out = {r.data, size};
        lent.push_back(r);
      } else {
        Py_XDECREF(r.array);
        PyErr_Clear();  // no room: the writer's own storage instead
      }
    }
    if (detached) detached = PyEval_SaveThread();
    return out;
  }

  // A new read-only view of the records of a closed chunk lying in a room,
  // which moves from lent to handed (rooms lent before it held no chunk).
  PyObject* hand_out(std::span<const std::uint8_t> records) {
    while (!lent.empty() && lent.front().data != records.data()) {
      drop(lent.front());
      lent.pop_front();
    }
    if (lent.empty()) {
      PyErr_SetString(PyExc_SystemError, "a chunk's room was not lent");
      return nullptr;
    }
    // A view of its own (not of the pin): while any part of it lives, the
    // room has a reference more.
    Ref whole = Ref::steal(PyMemoryView_FromObject(lent.front().array));
    Ref part =
        Ref::steal(whole ? PySequence_GetSlice(whole.get(), 0, static_cast<Py_ssize_t>(records.size())) : nullptr);
    Ref view = Ref::steal(part ? PyObject_CallMethod(part.get(), "toreadonly", nullptr) : nullptr);
    if (!view) return nullptr;
    handed.push_back(lent.front());
    lent.pop_front();
    return view.release();
  }

  // The oldest handed-out room, its chunk written: idle, to be lent again.
  void written() {
    idle.push_back(handed.front());
    handed.pop_front();
    if (idle.size() > kIdle) {
      drop(idle.front());
      idle.pop_front();
    }
  }

  // Rooms kept idle at most: more than an export has chunks in flight, so
  // that a burst of chunks written at once keeps its rooms for the next ones
  // (the rooms in use then stay as many as the most chunks in flight at once).
  // Rooms still read elsewhere leave by the front once there are more.
  static constexpr std::size_t kIdle = 32;

  PyThreadState* detached = nullptr;
  std::deque<Room> lent, handed, idle;

 private:
  static void drop(Room& r) {
    Py_DECREF(r.pin);
    Py_DECREF(r.array);
  }
};

struct WriterObject {
  PyObject_HEAD mcap::Writer* writer;
  ros::MessagePacker* packer;
  ByteArrayRooms* rooms;
  std::size_t handed;  // closed chunks already handed out, at the front of the queue
  std::atomic<bool> busy;
};

WriterObject* as_writer(PyObject* self) { return reinterpret_cast<WriterObject*>(self); }

// A str argument as UTF-8 (borrowed from the object); false with an exception.
bool utf8(PyObject* s, std::string_view& out) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &len);
  if (!p) return false;
  out = std::string_view(p, static_cast<std::size_t>(len));
  return true;
}

// A dict of str to str as pairs, in the dict's order; false with an exception.
bool pairs_of(PyObject* dict, mcap::Pairs& out) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "metadata must be a dict of str to str");
    return false;
  }
  Ref items = Ref::steal(PyDict_Items(dict));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    std::string_view k, v;
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    if (!key || !value || !PyUnicode_Check(key) || !PyUnicode_Check(value)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "metadata must be a dict of str to str");
      return false;
    }
    if (!utf8(key, k) || !utf8(value, v)) return false;
    out.emplace_back(std::string(k), std::string(v));
  }
  return true;
}

// A new bytes object holding `data`.
PyObject* bytes_of(std::span<const std::uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
}

// The closed chunks not yet handed out, as a new list of their records,
// uncompressed: views of their rooms, or copies of those in the writer's own
// storage (where no room could be had).
PyObject* hand_out(WriterObject* w) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (; w->handed < w->writer->closed_chunks(); ++w->handed) {
    const std::span<const std::uint8_t> records = w->writer->closed_chunk(w->handed);
    Ref chunk = Ref::steal(w->writer->in_room(w->handed) ? w->rooms->hand_out(records) : bytes_of(records));
    if (!chunk || PyList_Append(list.get(), chunk.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"profile", "library", "frame_id", "chunk_size", "body_frame", "covariances", nullptr};
  const char *profile = nullptr, *library = nullptr, *frame_id = nullptr;
  Py_ssize_t chunk_size = 0;
  int body_frame = 0;
  PyObject* covariances = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sssn|$pO:McapWriter", const_cast<char**>(names), &profile, &library,
                                   &frame_id, &chunk_size, &body_frame, &covariances)) {
    return nullptr;
  }
  if (chunk_size <= 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_size must be positive");
    return nullptr;
  }
  // The angular-velocity and linear-acceleration covariances, 9 numbers each.
  std::array<double, 9> rate_cov{}, accel_cov{};
  if (!covariances_of(covariances, rate_cov, accel_cov)) return nullptr;
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  WriterObject* w = as_writer(self);
  new (&w->busy) std::atomic<bool>(false);
  w->handed = 0;
  w->writer = new (std::nothrow) mcap::Writer(profile, library, static_cast<std::size_t>(chunk_size));
  w->packer = new (std::nothrow) ros::MessagePacker(frame_id);
  w->rooms = new (std::nothrow) ByteArrayRooms();
  if (!w->writer || !w->packer || !w->rooms) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  w->writer->set_rooms(w->rooms);
  w->packer->set_body_frame(body_frame != 0);
  w->packer->set_covariances(rate_cov, accel_cov);
  return self;
}

void writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  WriterObject* w = as_writer(self);
  delete w->packer;
  delete w->writer;  // before the rooms it writes into
  delete w->rooms;
  std::destroy_at(&w->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// schema(id, name, encoding, data): a schema record.
PyObject* writer_schema(PyObject* self, PyObject* args) {
  unsigned short id = 0;
  const char *name = nullptr, *encoding = nullptr;
  PyObject* data_obj = nullptr;
  if (!PyArg_ParseTuple(args, "HssO:schema", &id, &name, &encoding, &data_obj)) return nullptr;
  Py_buffer data;
  if (PyObject_GetBuffer(data_obj, &data, PyBUF_SIMPLE) < 0) return nullptr;
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  bool ok =
      guard && w->writer->schema(id, name, encoding,
                                 {static_cast<const std::uint8_t*>(data.buf), static_cast<std::size_t>(data.len)});
  PyBuffer_Release(&data);
  if (!guard) return nullptr;
  if (!ok) return PyErr_Format(PyExc_ValueError, "schema id %u is 0 or taken", id);
  Py_RETURN_NONE;
}

// channel(id, schema_id, topic, encoding, metadata): a channel record.
PyObject* writer_channel(PyObject* self, PyObject* args) {
  unsigned short id = 0, schema_id = 0;
  const char *topic = nullptr, *encoding = nullptr;
  PyObject* metadata = nullptr;
  if (!PyArg_ParseTuple(args, "HHssO:channel", &id, &schema_id, &topic, &encoding, &metadata)) return nullptr;
  mcap::Pairs pairs;
  if (!pairs_of(metadata, pairs)) return nullptr;
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  if (!w->writer->channel(id, schema_id, topic, encoding, pairs)) {
    return PyErr_Format(PyExc_ValueError, "channel id %u is taken or schema %u unknown", id, schema_id);
  }
  Py_RETURN_NONE;
}

// pack(kinds, values, flags, stamps, log_times): every packet's messages.
// Returns a new list of the chunks this closed (their records, uncompressed).
PyObject* writer_pack(PyObject* self, PyObject* args) {
  PyObject *kinds = nullptr, *values = nullptr, *flags = nullptr, *stamps = nullptr, *log_times = nullptr;
  if (!PyArg_ParseTuple(args, "OOOOO:pack", &kinds, &values, &flags, &stamps, &log_times)) return nullptr;
  WriterObject* w = as_writer(self);
  for (std::uint16_t id = 1; id <= ros::kTopics; ++id) {
    if (!w->writer->has_channel(id)) return PyErr_Format(PyExc_ValueError, "channel %u is not there", id);
  }
  Views views;
  ros::Columns c;
  if (!columns_of(views, kinds, values, flags, stamps, log_times, c)) return nullptr;
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  std::optional<std::size_t> refused;
  w->rooms->detached = PyEval_SaveThread();
  refused = w->packer->pack(c, *w->writer);
  PyEval_RestoreThread(w->rooms->detached);
  w->rooms->detached = nullptr;
  if (refused) {
    return PyErr_Format(PyExc_ValueError,
                        "a packet's time (%lld ns, stamp %lld ns) is out of range: MCAP log times start at 0 "
                        "and ROS's Time holds seconds as int32",
                        static_cast<long long>(c.log_times[*refused]), static_cast<long long>(c.stamps[*refused]));
  }
  return hand_out(w);
}

// close_chunk(): closes the open chunk; a new list as pack() returns.
PyObject* writer_close_chunk(PyObject* self, PyObject*) {
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  w->writer->close_chunk();
  return hand_out(w);
}

// write_chunk(compression, data, crc=None): the oldest chunk handed out,
// compressed; crc: the CRC-32 of its records, if worked out already (where it
// was compressed).
PyObject* writer_write_chunk(PyObject* self, PyObject* args) {
  const char* compression = nullptr;
  PyObject* data_obj = nullptr;
  PyObject* crc_obj = Py_None;
  if (!PyArg_ParseTuple(args, "sO|O:write_chunk", &compression, &data_obj, &crc_obj)) return nullptr;
  std::optional<std::uint32_t> crc;
  if (crc_obj != Py_None) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(crc_obj);
    if (PyErr_Occurred()) return nullptr;
    if (v > 0xFFFFFFFFull) return PyErr_Format(PyExc_ValueError, "crc must be a CRC-32");
    crc = static_cast<std::uint32_t>(v);
  }
  Py_buffer data;
  if (PyObject_GetBuffer(data_obj, &data, PyBUF_SIMPLE) < 0) return nullptr;
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  const bool handed = guard && w->handed > 0;
  if (handed) {
    const bool in_room = w->writer->in_room(0);
    Py_BEGIN_ALLOW_THREADS w->writer->write_chunk(
        compression, {static_cast<const std::uint8_t*>(data.buf), static_cast<std::size_t>(data.len)}, crc);
    Py_END_ALLOW_THREADS-- w->handed;
    if (in_room) w->rooms->written();
  }
  PyBuffer_Release(&data);
  if (!guard) return nullptr;
  if (!handed) return PyErr_Format(PyExc_ValueError, "no chunk is waiting to be written");
  Py_RETURN_NONE;
}

// crc32(data): the CRC-32 of MCAP (and zlib) of a buffer, worked out without
// holding the interpreter, so that the threads that compress chunks can.
PyObject* writer_crc32(PyObject*, PyObject* data_obj) {
  Py_buffer data;
  if (PyObject_GetBuffer(data_obj, &data, PyBUF_SIMPLE) < 0) return nullptr;
  std::uint32_t crc = 0;
  Py_BEGIN_ALLOW_THREADS crc =
      mcap::crc32({static_cast<const std::uint8_t*>(data.buf), static_cast<std::size_t>(data.len)});
  Py_END_ALLOW_THREADS PyBuffer_Release(&data);
  return PyLong_FromUnsignedLong(crc);
}

// metadata(name, pairs): a metadata record, once every chunk is written.
PyObject* writer_metadata(PyObject* self, PyObject* args) {
  const char* name = nullptr;
  PyObject* metadata = nullptr;
  if (!PyArg_ParseTuple(args, "sO:metadata", &name, &metadata)) return nullptr;
  mcap::Pairs pairs;
  if (!pairs_of(metadata, pairs)) return nullptr;
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  if (!w->writer->metadata(name, pairs)) return PyErr_Format(PyExc_ValueError, "chunks are waiting to be written");
  Py_RETURN_NONE;
}

// finish(): the data end, summary and footer, once every chunk is written.
PyObject* writer_finish(PyObject* self, PyObject*) {
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  if (w->writer->closed_chunks() != 0 || !w->writer->finish()) {
    return PyErr_Format(PyExc_ValueError, "chunks are waiting to be written");
  }
  Py_RETURN_NONE;
}

// take(): a new bytes object of what is to be written next.
PyObject* writer_take(PyObject* self, PyObject*) {
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  PyObject* out = bytes_of(w->writer->output());
  if (out) w->writer->clear_output();
  return out;
}

// counts(): a new dict of messages so far by channel id.
PyObject* writer_counts(PyObject* self, PyObject*) {
  WriterObject* w = as_writer(self);
  BusyGuard guard(w->busy);
  if (!guard) return nullptr;
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (std::uint16_t id = 1; id <= ros::kTopics; ++id) {
    Ref key = Ref::steal(PyLong_FromLong(id));
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(w->writer->message_count(id)));
    if (!key || !value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return d.release();
}

// span(): (earliest, latest) log time so far, (0, 0) without messages.
PyObject* writer_span(PyObject* self, PyObject*) {
  WriterObject* w = as_writer(self);
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(w->writer->start_time()),
                       static_cast<unsigned long long>(w->writer->end_time()));
}

PyMethodDef writer_methods[] = {
    {"schema", writer_schema, METH_VARARGS, "schema($self, id, name, encoding, data, /)\n--\n\nA schema record."},
    {"channel", writer_channel, METH_VARARGS,
     "channel($self, id, schema_id, topic, encoding, metadata, /)\n--\n\nA channel record."},
    {"pack", writer_pack, METH_VARARGS,
     "pack($self, kinds, values, flags, stamps, log_times, /)\n--\n\nEach packet's messages (kinds uint8; values "
     "float32 and flags uint8, one buffer per column in record order; stamps and log times int64 ns); returns the "
     "records of the chunks this closed (read-only buffers), to be compressed and handed to write_chunk in order."},
    {"close_chunk", writer_close_chunk, METH_NOARGS,
     "close_chunk($self)\n--\n\nCloses the open chunk; returns what pack() returns."},
    {"write_chunk", writer_write_chunk, METH_VARARGS,
     "write_chunk($self, compression, data, crc=None, /)\n--\n\nThe oldest chunk handed out, compressed as named "
     "(crc: the CRC-32 of its records, if known)."},
    {"crc32", writer_crc32, METH_O | METH_STATIC, "crc32(data, /)\n--\n\nThe CRC-32 of a buffer."},
    {"metadata", writer_metadata, METH_VARARGS, "metadata($self, name, pairs, /)\n--\n\nA metadata record."},
    {"finish", writer_finish, METH_NOARGS, "finish($self)\n--\n\nThe summary and the footer."},
    {"take", writer_take, METH_NOARGS, "take($self)\n--\n\nThe bytes to write next."},
    {"counts", writer_counts, METH_NOARGS, "counts($self)\n--\n\nMessages so far by channel id."},
    {"span", writer_span, METH_NOARGS, "span($self)\n--\n\nEarliest and latest log time so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, writer_methods},
    {Py_tp_doc, const_cast<char*>("McapWriter(profile, library, frame_id, chunk_size, *, body_frame=False, "
                                  "covariances=None)\n--\n\n"
                                  "MCAP records of the unit's packets as ROS 2 messages; body_frame: REP 103's axes; "
                                  "covariances: the angular velocity's and linear acceleration's, 9 numbers each.")},
    {0, nullptr},
};

PyType_Spec writer_spec = {"vorn._native.McapWriter", static_cast<int>(sizeof(WriterObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, writer_slots};

}  // namespace

PyObject* make_mcap_writer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &writer_spec, nullptr); }

}  // namespace vorn::tools
