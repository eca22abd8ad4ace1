// RecordingClock for the vorn package: a recording's sample times worked out
// while it is framed, a piece at a time, from the places framing gives its
// packets and the reads of its times file.
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "framing.hpp"
#include "native.hpp"
#include "pyref.hpp"
#include "recording_clock.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// A bytes-like object seen as whole T items while the view lives.
template <class T>
class Items {
 public:
  Items() = default;
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;
  ~Items() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with an exception set when obj is not bytes-like, or not whole
  // items, or not `expected` of them (any number when negative).
  bool take(PyObject* obj, const char* name, Py_ssize_t expected) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    const auto size = static_cast<Py_ssize_t>(sizeof(T));
    if (view_.len % size != 0 || (expected >= 0 && view_.len / size != expected)) {
      PyErr_Format(PyExc_ValueError, "%s must hold %zd items of %zu bytes", name,
                   expected < 0 ? view_.len / size : expected, sizeof(T));
      return false;
    }
    return true;
  }
  std::span<const T> span() const {
    return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
  }
  Py_ssize_t size() const { return static_cast<Py_ssize_t>(span().size()); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The reads, held for as long as the clock that walks them.
struct State {
  Items<std::int64_t> ends, starts, monos, walls;
  std::optional<BackgroundRecordingClock> clock;
  bool finished = false;
};

struct RecordingClockObject {
  PyObject_HEAD State* state;
  std::atomic<bool> busy;
};

RecordingClockObject* as_clock(PyObject* self) { return reinterpret_cast<RecordingClockObject*>(self); }

PyObject* clock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"ends", "starts", "monos", "walls", "baud", nullptr};
  PyObject* objs[4];
  double baud = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOd:RecordingClock", const_cast<char**>(names), &objs[0], &objs[1],
                                   &objs[2], &objs[3], &baud) ||
      !positive_baud(baud)) {
    return nullptr;
  }
  auto* state = new (std::nothrow) State();
  if (!state) return PyErr_NoMemory();
  if (!state->ends.take(objs[0], "ends", -1) || !state->starts.take(objs[1], "starts", state->ends.size()) ||
      !state->monos.take(objs[2], "monos", state->ends.size()) ||
      !state->walls.take(objs[3], "walls", state->ends.size())) {
    delete state;
    return nullptr;
  }
  if (state->ends.size() == 0) {
    state->clock.emplace(baud);  // given its reads with add_reads()
  } else {
    state->clock.emplace(
        RecordingReads{state->ends.span(), state->starts.span(), state->monos.span(), state->walls.span()}, baud);
  }
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) {
    delete state;
    return nullptr;
  }
  as_clock(self)->state = state;
  new (&as_clock(self)->busy) std::atomic<bool>(false);
  return self;
}

void clock_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_clock(self)->state;
  std::destroy_at(&as_clock(self)->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// Runs `work` on the clock without the GIL; the times it appends as bytes.
template <class Work>
PyObject* run(State& s, Work&& work) {
  std::vector<std::int64_t> out;
  enum { kFine, kNoMemory, kFailed } failed = kFine;
  PyThreadState* released = PyEval_SaveThread();
  try {
    work(*s.clock, out);
  } catch (const std::bad_alloc&) {
    failed = kNoMemory;
  } catch (const std::exception&) {
    failed = kFailed;
  }
  PyEval_RestoreThread(released);
  if (failed == kNoMemory) return PyErr_NoMemory();
  if (failed == kFailed) {
    PyErr_SetString(PyExc_RuntimeError, "the sample clock failed");
    return nullptr;
  }
  return int64_bytes(out);
}

// feed(kinds, offsets, lengths, lost)
PyObject* clock_feed(PyObject* self, PyObject* args) {
  PyObject* objs[4];
  if (!PyArg_ParseTuple(args, "OOOO:feed", &objs[0], &objs[1], &objs[2], &objs[3])) return nullptr;
  Items<std::uint8_t> kinds, lost;
  Items<std::int64_t> offsets;
  Items<std::uint32_t> lengths;
  if (!kinds.take(objs[0], "kinds", -1) || !offsets.take(objs[1], "offsets", kinds.size()) ||
      !lengths.take(objs[2], "lengths", kinds.size()) || !lost.take(objs[3], "lost", kinds.size())) {
    return nullptr;
  }
  for (std::uint8_t k : kinds.span()) {
    if (k > 1) {
      PyErr_SetString(PyExc_ValueError, "kinds must be 0 (raw) or 1 (estimated)");
      return nullptr;
    }
  }
  for (std::uint32_t n : lengths.span()) {
    if (n > kMaxPacketSize) {
      PyErr_Format(PyExc_ValueError, "lengths must be at most %zu bytes (a packet's)", kMaxPacketSize);
      return nullptr;
    }
  }
  RecordingClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  if (c->state->finished) {
    PyErr_SetString(PyExc_ValueError, "the clock has finished");
    return nullptr;
  }
  const RecordingPackets piece{kinds.span(), offsets.span(), lengths.span(), lost.span()};
  return run(*c->state,
             [&](BackgroundRecordingClock& clock, std::vector<std::int64_t>& out) { clock.feed(piece, out); });
}

// add_reads(ends, starts, monos, walls)
PyObject* clock_add_reads(PyObject* self, PyObject* args) {
  PyObject* objs[4];
  if (!PyArg_ParseTuple(args, "OOOO:add_reads", &objs[0], &objs[1], &objs[2], &objs[3])) return nullptr;
  Items<std::int64_t> ends, starts, monos, walls;
  if (!ends.take(objs[0], "ends", -1) || !starts.take(objs[1], "starts", ends.size()) ||
      !monos.take(objs[2], "monos", ends.size()) || !walls.take(objs[3], "walls", ends.size())) {
    return nullptr;
  }
  RecordingClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  if (c->state->finished) {
    PyErr_SetString(PyExc_ValueError, "the clock has finished");
    return nullptr;
  }
  try {
    c->state->clock->add_reads({ends.span(), starts.span(), monos.span(), walls.span()});
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception&) {
    PyErr_SetString(PyExc_RuntimeError, "the sample clock failed");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* clock_finish(PyObject* self, PyObject*) {
  RecordingClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  if (c->state->finished) return PyBytes_FromStringAndSize(nullptr, 0);
  c->state->finished = true;
  return run(*c->state, [](BackgroundRecordingClock& clock, std::vector<std::int64_t>& out) { clock.finish(out); });
}

PyObject* clock_figures(PyObject* self, PyObject*) {
  RecordingClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  return figures_dict(c->state->clock->stats());
}

PyMethodDef clock_methods[] = {
    {"feed", clock_feed, METH_VARARGS,
     "feed($self, kinds, offsets, lengths, lost, /)\n--\n\nThe next packets of the recording, in stream order, as "
     "framing places them (bytes-like uint8, int64, uint32, uint8); returns the sample times (int64 bytes, wall "
     "ns, -1 for a packet no read completed) now known of the oldest packets not yet given."},
    {"add_reads", clock_add_reads, METH_VARARGS,
     "add_reads($self, ends, starts, monos, walls, /)\n--\n\nThe next reads (bytes-like int64), for a clock made "
     "with none: each piece's before its packets. ValueError where their monotonic clock runs back."},
    {"finish", clock_finish, METH_NOARGS,
     "finish($self)\n--\n\nThe times of every packet not yet given, the recording having ended."},
    {"figures", clock_figures, METH_NOARGS,
     "figures($self)\n--\n\nEach stream's figures (\"raw\", \"estimated\"), complete once finished."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot clock_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(clock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(clock_dealloc)},
    {Py_tp_methods, clock_methods},
    {Py_tp_doc, const_cast<char*>("RecordingClock(ends, starts, monos, walls, baud)\n--\n\nThe sample clock of a "
                                  "recording from its vouched reads (int64: where each ends and begins in the "
                                  "stream, when it returned on the monotonic and the wall clock); made with none, "
                                  "it is given them with add_reads().")},
    {0, nullptr},
};

PyType_Spec clock_spec = {"vorn._native.RecordingClock", static_cast<int>(sizeof(RecordingClockObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, clock_slots};

}  // namespace

PyObject* make_recording_clock_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &clock_spec, nullptr); }

}  // namespace vorn::tools
