// PortReader: a port read on a thread of the core's own into a bounded ring,
// and its recording written there as well, for vorn.open. The stream opens
// the port through it (again after each loss, with reconnect) and takes the
// reads from the ring on its own thread, when it likes.
#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "native.hpp"
#include "port_reader.hpp"
#include "pyref.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

struct ReaderObject {
  PyObject_HEAD std::size_t ring_bytes;
  std::shared_ptr<RecordingWriter>* recording;  // holds null when not recording
  std::unique_ptr<PortReader>* reader;          // holds null while the port is not read
  std::unique_ptr<TTYPort>* port;               // opened, not yet read
  std::atomic<bool> busy;
};

ReaderObject* as_reader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"ring_bytes", nullptr};
  Py_ssize_t ring = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n:PortReader", const_cast<char**>(names), &ring)) return nullptr;
  if (ring <= 0) {
    PyErr_SetString(PyExc_ValueError, "ring_bytes must be positive");
    return nullptr;
  }
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  ReaderObject* r = as_reader(self);
  r->ring_bytes = static_cast<std::size_t>(ring);
  new (&r->busy) std::atomic<bool>(false);
  r->recording = new (std::nothrow) std::shared_ptr<RecordingWriter>();
  r->reader = new (std::nothrow) std::unique_ptr<PortReader>();
  r->port = new (std::nothrow) std::unique_ptr<TTYPort>();
  if (!r->recording || !r->reader || !r->port) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

// record(data_fd, times_fd, durable=True, flush_every=0.5): the reads written
// to this recording (its times file's magic line written) from start() on;
// the descriptors are the reader's to close from now on.
PyObject* reader_record(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"data_fd", "times_fd", "durable", "flush_every", nullptr};
  int data_fd = -1, times_fd = -1, durable = 1;
  double flush_every = 0.5;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|pd:record", const_cast<char**>(names), &data_fd, &times_fd,
                                   &durable, &flush_every)) {
    return nullptr;
  }
  if (data_fd < 0 || times_fd < 0 || !(flush_every > 0 && flush_every < 3600)) {
    PyErr_SetString(PyExc_ValueError, "a recording needs both descriptors and a flush interval within an hour");
    return nullptr;
  }
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  if (*r->recording || *r->reader) {
    PyErr_SetString(PyExc_ValueError, "a recording is set before reading starts, once");
    return nullptr;
  }
  *r->recording =
      std::make_shared<RecordingWriter>(data_fd, times_fd, durable != 0, static_cast<std::int64_t>(flush_every * 1e9));
  Py_RETURN_NONE;
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ReaderObject* r = as_reader(self);
  if (r->reader) {
    Py_BEGIN_ALLOW_THREADS r->reader->reset();  // stops the thread (in a fork: descriptors only)
    Py_END_ALLOW_THREADS delete r->reader;
  }
  delete r->port;
  if (r->recording) {
    if (*r->recording) (*r->recording)->close();
    delete r->recording;
  }
  std::destroy_at(&r->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// open(path, baud): the port opened as SerialParser opens it, to be read from start() on.
PyObject* reader_open(PyObject* self, PyObject* args) {
  const char* path = nullptr;
  Py_ssize_t path_len = 0;
  long long baud = 0;
  if (!PyArg_ParseTuple(args, "s#L:open", &path, &path_len, &baud)) return nullptr;
  if (baud <= 0 || baud > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "baudrate out of range");
    return nullptr;
  }
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  if (*r->reader || *r->port) {
    PyErr_SetString(PyExc_ValueError, "the port is open already");
    return nullptr;
  }
  const SerialSettings settings{std::string(path, static_cast<std::size_t>(path_len)), static_cast<std::uint32_t>(baud),
                                0};
  Result<std::unique_ptr<TTYPort>> opened = Failure::os("");
  Py_BEGIN_ALLOW_THREADS opened = TTYPort::open(settings);
  Py_END_ALLOW_THREADS if (!opened) return raise_failure(opened.error(), settings.path.c_str());
  *r->port = std::move(opened).value();
  Py_RETURN_NONE;
}

// start(): the port opened read on a thread from now on.
PyObject* reader_start(PyObject* self, PyObject*) {
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  if (!*r->port) {
    PyErr_SetString(PyExc_ValueError, "no port opened to read");
    return nullptr;
  }
  Result<std::unique_ptr<PortReader>> started = PortReader::start(std::move(*r->port), r->ring_bytes, *r->recording);
  if (!started) return raise_failure(started.error(), nullptr);
  *r->reader = std::move(started).value();
  Py_RETURN_NONE;
}

// drop(): the reader stopped and the port closed; what the ring held goes with them.
PyObject* reader_drop(PyObject* self, PyObject*) {
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  std::unique_ptr<PortReader> gone = std::move(*r->reader);
  std::unique_ptr<TTYPort> port = std::move(*r->port);
  Py_BEGIN_ALLOW_THREADS gone.reset();
  port.reset();
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyObject* reader_fileno(PyObject* self, PyObject*) {
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  return PyLong_FromLong(*r->reader ? (*r->reader)->notify_fd() : -1);
}

PyObject* reader_port_fileno(PyObject* self, PyObject*) {
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  if (*r->reader) return PyLong_FromLong((*r->reader)->port_fd());
  return PyLong_FromLong(*r->port ? (*r->port)->fd() : -1);  // opened, not yet read
}

// take(max_bytes) -> (reads, ring_lost, overrun, buf_overrun, failure).
PyObject* reader_take(PyObject* self, PyObject* arg) {
  const Py_ssize_t max_bytes = PyLong_AsSsize_t(arg);
  if (max_bytes == -1 && PyErr_Occurred()) return nullptr;
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  Taken taken;
  if (*r->reader) {
    (*r->reader)->read_now();  // what the line holds now: no wait for the thread to wake for it
    taken = (*r->reader)->take(static_cast<std::size_t>(std::max<Py_ssize_t>(max_bytes, 1)));
  }
  Ref reads = Ref::steal(PyList_New(static_cast<Py_ssize_t>(taken.reads.size())));
  if (!reads) return nullptr;
  for (std::size_t i = 0; i < taken.reads.size(); ++i) {
    const RingRead& read = taken.reads[i];
    PyObject* item = Py_BuildValue("(y#(LL))", reinterpret_cast<const char*>(read.bytes.data()),
                                   static_cast<Py_ssize_t>(read.bytes.size()), static_cast<long long>(read.wall),
                                   static_cast<long long>(read.mono));
    if (!item) return nullptr;
    PyList_SET_ITEM(reads.get(), static_cast<Py_ssize_t>(i), item);
  }
  Ref failure = Ref::borrow(Py_None);
  if (taken.failure) {
    PyObject* value = failure_object(*taken.failure, nullptr);
    if (!value) return nullptr;
    failure = Ref::steal(Py_BuildValue("(NO)", value, taken.recording_failed ? Py_True : Py_False));
    if (!failure) return nullptr;
  }
  return Py_BuildValue("(OKKKO)", reads.get(), static_cast<unsigned long long>(taken.ring_lost),
                       static_cast<unsigned long long>(taken.overrun),
                       static_cast<unsigned long long>(taken.buf_overrun), failure.get());
}

// The recording's failure as OSError (no path: the caller names it), or null
// with nothing set when there is none.
PyObject* recording_failed(RecordingWriter& w) {
  const std::optional<Failure> failure = w.failure();
  if (failure) return raise_failure(*failure, nullptr);
  PyErr_SetString(PyExc_RuntimeError, "the recording failed");
  return nullptr;
}

PyObject* reader_flush(PyObject* self, PyObject*) {
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  if (!*r->recording) Py_RETURN_NONE;
  bool ok = false;
  Py_BEGIN_ALLOW_THREADS ok = (*r->recording)->flush();
  Py_END_ALLOW_THREADS if (!ok) return recording_failed(**r->recording);
  Py_RETURN_NONE;
}

// gap(lost_wall, lost_mono, back_wall, back_mono): a stretch without the device, on record at once.
PyObject* reader_gap(PyObject* self, PyObject* args) {
  long long lw = 0, lm = 0, bw = 0, bm = 0;
  if (!PyArg_ParseTuple(args, "LLLL:gap", &lw, &lm, &bw, &bm)) return nullptr;
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  if (!*r->recording) Py_RETURN_NONE;
  bool ok = false;
  Py_BEGIN_ALLOW_THREADS ok = (*r->recording)->gap(lw, lm, bw, bm);
  Py_END_ALLOW_THREADS if (!ok) return recording_failed(**r->recording);
  Py_RETURN_NONE;
}

// close(): the reader stopped, the port closed, the recording flushed and closed.
PyObject* reader_close(PyObject* self, PyObject*) {
  ReaderObject* r = as_reader(self);
  BusyGuard guard(r->busy);
  if (!guard) return nullptr;
  std::unique_ptr<PortReader> gone = std::move(*r->reader);
  std::unique_ptr<TTYPort> port = std::move(*r->port);
  std::shared_ptr<RecordingWriter> recording = std::move(*r->recording);
  bool ok = true;
  Py_BEGIN_ALLOW_THREADS gone.reset();
  port.reset();
  if (recording) ok = recording->close();
  Py_END_ALLOW_THREADS if (!ok) return recording_failed(*recording);
  Py_RETURN_NONE;
}

PyMethodDef reader_methods[] = {
    {"open", reader_open, METH_VARARGS,
     "open($self, path, baudrate, /)\n--\n\nOpens the port as SerialParser does, to be read from start() on; "
     "OSError when it cannot."},
    {"start", reader_start, METH_NOARGS, "start($self, /)\n--\n\nReads the port opened on a thread from now on."},
    {"record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_record)), METH_VARARGS | METH_KEYWORDS,
     "record($self, data_fd, times_fd, durable=True, flush_every=0.5)\n--\n\nWrites what is read to this "
     "recording and its times file (the magic line written), which the reader closes."},
    {"drop", reader_drop, METH_NOARGS, "drop($self, /)\n--\n\nStops reading and closes the port."},
    {"fileno", reader_fileno, METH_NOARGS,
     "fileno($self, /)\n--\n\nA descriptor readable while take() has something to give (-1 while closed)."},
    {"port_fileno", reader_port_fileno, METH_NOARGS,
     "port_fileno($self, /)\n--\n\nThe port's descriptor while it is open (-1 otherwise): readable while the line "
     "holds bytes that take() would read itself."},
    {"take", reader_take, METH_O,
     "take($self, max_bytes, /)\n--\n\n(reads, ring_lost, overrun, buf_overrun, failure): what the line holds "
     "read first (on this thread), then the reads held, "
     "oldest first, each (bytes, (wall_ns, mono_ns)), up to about max_bytes and stopping before a loss; the bytes "
     "dropped from the ring and the driver's overrun counts that rose just before them; and once the ring is "
     "empty after the port failed, (OSError, whether the recording's writing failed), else None."},
    {"flush", reader_flush, METH_NOARGS, "flush($self, /)\n--\n\nThe recording made durable now."},
    {"gap", reader_gap, METH_VARARGS,
     "gap($self, lost_wall, lost_mono, back_wall, back_mono, /)\n--\n\nMarks a stretch without the device in the "
     "recording's times."},
    {"close", reader_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops reading, closes the port and the recording (flushed)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>("PortReader(ring_bytes)\n--\n\nA port read on a thread into a ring of "
                                  "ring_bytes, and written to a recording as it is read (record()).")},
    {0, nullptr},
};

PyType_Spec reader_spec = {"vorn._native.PortReader", static_cast<int>(sizeof(ReaderObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, reader_slots};

}  // namespace

PyObject* make_port_reader_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &reader_spec, nullptr); }

}  // namespace vorn::tools
