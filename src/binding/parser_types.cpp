#include "parser_types.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "args.hpp"
#include "borrow.hpp"
#include "errors.hpp"
#include "packet_type.hpp"
#include "parser.hpp"
#include "pyref.hpp"
#include "serial.hpp"

namespace vorn::py {

namespace {

enum class Kind { Serial, Mock };

template <Kind K>
struct Names;
template <>
struct Names<Kind::Serial> {
  static constexpr const char* type = "SerialParser";
  static constexpr const char* path = "vorn_rs::SerialParser";
};
template <>
struct Names<Kind::Mock> {
  static constexpr const char* type = "MockParser";
  static constexpr const char* path = "vorn_rs::MockParser";
};

// Sequential per-thread identifiers; unlike native thread ids they are never
// reused, so an object's owner cannot be mistaken for a later thread.
std::uint64_t current_thread_id() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1);
  return id;
}

// How often a waiting drain wakes to let the interpreter run signal handlers
// (Ctrl-C) on the main thread.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

struct ParserObject {
  PyObject_HEAD VornParser engine;
  Timeout timeout;             // as given to the constructor; waiting drains use it
  std::atomic<bool> borrowed;  // a call has the object (see Borrow)
  std::uint64_t owner;         // current_thread_id() of the creating thread
  // Records between the channel and their packet objects; empty between
  // drains, its storage kept for the next one.
  Batches<IMUPacket> drained;
};

ParserObject* as_parser(PyObject* self) { return reinterpret_cast<ParserObject*>(self); }

template <Kind K>
bool check_owner(ParserObject* p) {
  const std::uint64_t me = current_thread_id();
  if (me == p->owner) return true;
  raise_fatal("assertion `left == right` failed: " + std::string(Names<K>::path) +
              " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(me) +
              ")\n right: ThreadId(" + std::to_string(p->owner) + ")");
  return false;
}

enum class Conflict { Raise, Fatal };

// Runs `body(p)` on the owner thread with the object borrowed exclusively; the
// borrow is given back on every way out.
template <Kind K, class Body>
PyObject* exclusive(PyObject* self, Conflict on_conflict, Body&& body) {
  ParserObject* p = as_parser(self);
  if (!check_owner<K>(p)) return nullptr;
  Borrow borrow(p->borrowed);
  if (!borrow) {
    if (on_conflict == Conflict::Fatal) return raise_fatal("Already borrowed: the object is in use by another call");
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  return body(p);
}

// Waits for the first record until `wait` has passed. Returns false with an
// exception set on a time-out or when a signal handler raised.
bool wait_first(ParserObject* p, WaitTime wait) {
  using Clock = std::chrono::steady_clock;
  const std::optional<Clock::time_point> deadline = deadline_after(wait);
  for (;;) {
    Clock::time_point slice_end = Clock::now() + kSignalCheckInterval;
    if (deadline && *deadline < slice_end) slice_end = *deadline;
    bool ready;
    Py_BEGIN_ALLOW_THREADS ready = p->engine.wait_for_packet(slice_end);
    Py_END_ALLOW_THREADS if (ready) return true;
    if (deadline && Clock::now() >= *deadline) {
      raise_os(kTimedOutText);
      return false;
    }
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// A new list holding every queued record as an IMUPacket, oldest first.
PyObject* drain_to_list(ParserObject* p) {
  Batches<IMUPacket>& batches = p->drained;
  const std::size_t count = p->engine.drain_batches(batches);
  struct Recycle {  // on every way out: the reader gets the storage back
    ParserObject* p;
    ~Recycle() { p->engine.recycle(p->drained); }
  } recycle{p};
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (auto& batch : batches) {
    for (IMUPacket& record : batch) {
      PyObject* packet = wrap_packet(std::move(record));
      if (!packet) return nullptr;  // the records not yet wrapped are dropped
      PyList_SET_ITEM(list.get(), i++, packet);
    }
    batch.clear();  // the emptied records while they are still in cache
  }
  return list.release();
}

template <Kind K>
PyObject* get_data_packets(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"block"};
  static const std::string qualname = std::string(Names<K>::type) + ".get_data_packets";
  PyObject* bound[1];
  if (!bind_fastcall({qualname.c_str(), names, 0}, args, nargs, kwnames, bound)) return nullptr;
  return exclusive<K>(self, Conflict::Raise, [&](ParserObject* p) -> PyObject* {
    bool block = false;
    if (bound[0]) {
      std::optional<bool> converted = convert_block(bound[0], "block");
      if (!converted) return nullptr;
      block = *converted;
    }
    if (std::optional<std::string> failure = p->engine.take_error()) return raise_os(*failure);
    if (block) {
      const Result<WaitTime>& wait = p->timeout.wait;
      if (!wait) return raise_failure(wait.error());
      if (!wait_first(p, wait.value())) return nullptr;
    }
    return drain_to_list(p);
  });
}

template <Kind K>
PyObject* start(PyObject* self, PyObject*) {
  return exclusive<K>(self, Conflict::Raise, [](ParserObject* p) -> PyObject* {
    Result<bool> started = p->engine.start();
    if (!started) return raise_failure(started.error());
    Py_RETURN_NONE;
  });
}

void stop_detached(ParserObject* p) {
  Py_BEGIN_ALLOW_THREADS p->engine.stop();  // waits for a read under way, not for input
  Py_END_ALLOW_THREADS
}

template <Kind K>
PyObject* stop(PyObject* self, PyObject*) {
  return exclusive<K>(self, Conflict::Raise, [](ParserObject* p) -> PyObject* {
    stop_detached(p);
    Py_RETURN_NONE;
  });
}

template <Kind K>
PyObject* is_running(PyObject* self, PyObject*) {
  ParserObject* p = as_parser(self);
  if (!check_owner<K>(p)) return nullptr;
  // Only reads, and runs no Python code that could call in meanwhile: it
  // need not hold the object, only find it free.
  if (p->borrowed.load()) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  return PyBool_FromLong(p->engine.is_running());
}

template <Kind K>
PyObject* enter(PyObject* self, PyObject*) {
  return exclusive<K>(self, Conflict::Fatal, [self](ParserObject* p) -> PyObject* {
    Result<bool> started = p->engine.start();
    if (!started) return raise_failure(started.error());
    return Py_NewRef(self);
  });
}

template <Kind K>
PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"_exc_type", "_exc_value", "_traceback"};
  static const std::string qualname = std::string(Names<K>::type) + ".__exit__";
  PyObject* bound[3];
  if (!bind_fastcall({qualname.c_str(), names, 3}, args, nargs, kwnames, bound)) return nullptr;
  return exclusive<K>(self, Conflict::Fatal, [](ParserObject* p) -> PyObject* {
    stop_detached(p);
    Py_RETURN_NONE;  // never suppresses the exception that ended the block
  });
}

// An engine, open, and the time-out it was given.
struct Opened {
  VornParser engine;
  Timeout timeout;
};

// The `timeout` argument in seconds: 0.1 when omitted, 0 for None.
std::optional<double> timeout_arg(PyObject* arg) {
  if (!arg) return 0.1;
  if (arg == Py_None) return 0.0;
  return convert_timeout(arg, "timeout");
}

// Opens the engine, failing with the engine's failure raised.
std::optional<Opened> opened_or_raise(Result<VornParser> engine, double timeout) {
  if (!engine) {
    raise_failure(engine.error());
    return std::nullopt;
  }
  return Opened{std::move(engine).value(), Timeout::from_seconds(timeout)};
}

std::optional<Opened> open_serial(PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"port", "baudrate", "timeout"};
  static const std::string qualname = std::string(Names<Kind::Serial>::type) + ".__new__";
  PyObject* bound[3];
  if (!bind_tuple({qualname.c_str(), names, 1}, args, kwargs, bound)) return std::nullopt;
  std::optional<std::string> path = convert_path(bound[0], "port");
  if (!path) return std::nullopt;
  std::uint32_t baud = kDefaultBaudRate;
  if (bound[1] && bound[1] != Py_None) {
    std::optional<std::uint32_t> b = convert_baudrate(bound[1], "baudrate");
    if (!b) return std::nullopt;
    baud = *b;
  }
  const std::optional<double> timeout = timeout_arg(bound[2]);
  if (!timeout) return std::nullopt;
  std::optional<Result<VornParser>> engine;
  Py_BEGIN_ALLOW_THREADS engine.emplace(new_serial(*path, baud, timeout_to_millis(*timeout)));
  Py_END_ALLOW_THREADS return opened_or_raise(std::move(*engine), *timeout);
}

// new_mock(), detached from the interpreter, since opening a FIFO waits for
// its writer. A signal that interrupts the wait runs the interpreter's
// handlers; one that raises (Ctrl-C) ends the open with its exception set
// and nothing open.
std::optional<Result<VornParser>> open_mock_detached(const std::string& path) {
  PyObject* raised = nullptr;
  PyThreadState* detached = PyEval_SaveThread();
  auto keep_opening = [&]() {
    PyEval_RestoreThread(detached);
    const bool again = PyErr_CheckSignals() == 0;
    if (!again) raised = PyErr_GetRaisedException();
    detached = PyEval_SaveThread();
    return again;
  };
  Result<VornParser> engine = new_mock(path, keep_opening);
  PyEval_RestoreThread(detached);
  if (raised) {
    PyErr_SetRaisedException(raised);
    return std::nullopt;
  }
  return engine;
}

std::optional<Opened> open_mock(PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"path", "timeout"};
  static const std::string qualname = std::string(Names<Kind::Mock>::type) + ".__new__";
  PyObject* bound[2];
  if (!bind_tuple({qualname.c_str(), names, 1}, args, kwargs, bound)) return std::nullopt;
  std::optional<std::string> path = convert_path(bound[0], "path");
  if (!path) return std::nullopt;
  const std::optional<double> timeout = timeout_arg(bound[1]);
  if (!timeout) return std::nullopt;
  std::optional<Result<VornParser>> engine = open_mock_detached(*path);
  if (!engine) return std::nullopt;
  return opened_or_raise(std::move(*engine), *timeout);
}

// Opens the engine, then makes the object around it; on any failure nothing is left.
template <Kind K>
PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::optional<Opened> opened = K == Kind::Serial ? open_serial(args, kwargs) : open_mock(args, kwargs);
  if (!opened) return nullptr;
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;  // the engine closes its source on the way out
  ParserObject* p = as_parser(self);
  new (&p->engine) VornParser(std::move(opened->engine));
  new (&p->timeout) Timeout(std::move(opened->timeout));
  new (&p->borrowed) std::atomic<bool>(false);
  p->owner = current_thread_id();
  new (&p->drained) Batches<IMUPacket>();
  return self;
}

template <Kind K>
void parser_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ParserObject* p = as_parser(self);
  if (current_thread_id() != p->owner) {
    // Usually a parser that escaped its thread, for instance in a reference
    // cycle collected elsewhere: worth reporting. The object is unreachable
    // now, so releasing the engine here is safe, and it frees the port and the
    // queues instead of leaving a reader running for the rest of the process.
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread", Names<K>::path);
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
  }
  Py_BEGIN_ALLOW_THREADS p->engine.~VornParser();  // stops and joins the reader
  Py_END_ALLOW_THREADS std::destroy_at(&p->drained);
  std::destroy_at(&p->timeout);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// Each docstring starts with the text signature that inspect.signature()
// reads ("name(params)\n--\n\n"); help() shows the rest.
constexpr const char kStartDoc[] =
    "start($self)\n--\n\n"
    "Starts the background reader, which reads the source and queues decoded packets.\n\n"
    "Does nothing while a reader started earlier still exists (running or ended by\n"
    "itself); call stop() first to start another.";
constexpr const char kStopDoc[] =
    "stop($self)\n--\n\n"
    "Stops the reader. A wait for input ends at once; a read under way is finished\n"
    "first. Packets already queued stay for get_data_packets(). A later start() reads\n"
    "on from where the source stood, a packet that the stop split included.";
constexpr const char kIsRunningDoc[] =
    "is_running($self)\n--\n\n"
    "True while the reader is running. It stops by itself at the end of a recording\n"
    "and after a read failure (which the next get_data_packets() raises).";
constexpr const char kGetDataPacketsDoc[] =
    "get_data_packets($self, block=False)\n--\n\n"
    "Returns every packet queued so far, oldest first, as a new list of IMUPacket\n"
    "(empty when none is queued).\n\n"
    "block must be a bool (or NumPy's bool). With block=True and nothing queued, the\n"
    "call waits up to the parser's timeout for a packet and raises OSError(\"timed out\n"
    "waiting on channel\") if none comes; Ctrl-C interrupts the wait.\n\n"
    "If the reader failed (for example \"Operation timed out\" on a silent port), this\n"
    "call raises that OSError once and returns nothing; the packets read before the\n"
    "failure come with the next call.";
constexpr const char kEnterDoc[] =
    "__enter__($self)\n--\n\n"
    "Starts the reader (as start()) and returns the parser itself.";
constexpr const char kExitDoc[] =
    "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
    "Stops the reader (as stop()). Returns None, so an exception raised in the with\n"
    "block propagates.";

template <Kind K>
PyMethodDef parser_methods[] = {
    {"start", start<K>, METH_NOARGS, kStartDoc},
    {"stop", stop<K>, METH_NOARGS, kStopDoc},
    {"is_running", is_running<K>, METH_NOARGS, kIsRunningDoc},
    {"get_data_packets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_data_packets<K>)),
     METH_FASTCALL | METH_KEYWORDS, kGetDataPacketsDoc},
    {"__enter__", enter<K>, METH_NOARGS, kEnterDoc},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit<K>)), METH_FASTCALL | METH_KEYWORDS,
     kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

template <Kind K>
PyTypeObject* make_type(const char* spec_name, const char* doc) {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(parser_new<K>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc<K>)},
      {Py_tp_methods, parser_methods<K>},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {spec_name, static_cast<int>(sizeof(ParserObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// A class object made once per process; threads that find it being made wait
// (detached) for it.
template <Kind K>
PyTypeObject* cached_type(const char* spec_name, const char* doc) {
  static PyMutex lock;
  static PyTypeObject* type;
  PyMutex_Lock(&lock);
  if (!type) type = make_type<K>(spec_name, doc);
  PyTypeObject* result = type;
  PyMutex_Unlock(&lock);
  return result;
}

}  // namespace

namespace {
constexpr const char kSerialParserDoc[] =
    "SerialParser(port, baudrate=None, timeout=0.1)\n--\n\n"
    "Decodes a live unit on a serial port, on a background reader thread.\n\n"
    "port is the device path, a str or an os.PathLike giving one (bytes are refused).\n"
    "The port is opened at once, for this parser alone, raw 8N1 at baudrate (None or\n"
    "omitted: 115200). timeout, in seconds (None: 0), is the port's read timeout: a\n"
    "read that gets nothing for that long ends the reader with OSError(\"Operation\n"
    "timed out\"), raised by the next get_data_packets(). It is also how long\n"
    "get_data_packets(block=True) waits. Raises OSError if the port cannot be opened\n"
    "or set up.\n\n"
    "As a context manager it starts the reader on entry and stops it on exit. Use a\n"
    "parser only on the thread that made it.";
constexpr const char kMockParserDoc[] =
    "MockParser(path, timeout=0.1)\n--\n\n"
    "Replays a recorded byte stream from a file, on a background reader thread.\n\n"
    "path is the file, a str or an os.PathLike giving one (bytes are refused); it is\n"
    "opened at once, and OSError is raised if that fails. The reader stops by itself\n"
    "at the end of the file, with every packet queued. timeout, in seconds (None: 0),\n"
    "is how long get_data_packets(block=True) waits for a packet.\n\n"
    "As a context manager it starts the reader on entry and stops it on exit. Use a\n"
    "parser only on the thread that made it.";
}  // namespace

PyTypeObject* serial_parser_type() { return cached_type<Kind::Serial>("builtins.SerialParser", kSerialParserDoc); }

PyTypeObject* mock_parser_type() { return cached_type<Kind::Mock>("builtins.MockParser", kMockParserDoc); }

}  // namespace vorn::py
