// Live clock pieces for tests: SampleClock fed packets as they arrive, and
// sample_times() over a whole recording's packets at once; the shipped helper
// runs the same core through LiveFrames and RecordingClock.
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "given.hpp"
#include "native.hpp"
#include "pyref.hpp"
#include "sample_clock.hpp"
#include "testing.hpp"

namespace vorn::tools {

using py::Ref;

namespace {

constexpr std::array<const char*, 2> kStreams = {"raw", "estimated"};  // the core's PacketKind order

// Copies a bytes-like object of whole T items into `out`; false with an
// exception set when it is not one or its length is not `expected` items
// (any length when expected is negative).
template <class T>
bool copy_items(PyObject* obj, const char* name, Py_ssize_t expected, std::vector<T>& out) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return false;
  const bool whole = view.len % static_cast<Py_ssize_t>(sizeof(T)) == 0;
  const Py_ssize_t n = view.len / static_cast<Py_ssize_t>(sizeof(T));
  if (whole && (expected < 0 || n == expected)) {
    out.resize(static_cast<std::size_t>(n));
    if (n > 0) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
  }
  PyBuffer_Release(&view);
  if (!whole || (expected >= 0 && n != expected)) {
    PyErr_Format(PyExc_ValueError, "%s must hold %zd items of %zu bytes", name, expected < 0 ? n : expected, sizeof(T));
    return false;
  }
  return true;
}

// The packets of a batch, one array per property.
struct Batch {
  std::vector<std::int64_t> first_ns;
  std::vector<std::uint32_t> first_bytes;
  std::vector<std::int64_t> done_ns;
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint8_t> kinds;
  std::vector<std::uint8_t> lost;

  std::size_t size() const { return done_ns.size(); }
  PacketArrival at(std::size_t i, bool lost_before) const {
    return {first_ns[i], first_bytes[i], done_ns[i], lengths[i], lost_before};
  }
};

// Reads the six arrays of a batch; false with an exception set.
bool parse_batch(PyObject* const* arrays, Batch& b) {
  if (!copy_items(arrays[2], "done_ns", -1, b.done_ns)) return false;
  const auto n = static_cast<Py_ssize_t>(b.done_ns.size());
  if (!copy_items(arrays[0], "first_ns", n, b.first_ns) || !copy_items(arrays[1], "first_bytes", n, b.first_bytes) ||
      !copy_items(arrays[3], "lengths", n, b.lengths) || !copy_items(arrays[4], "kinds", n, b.kinds) ||
      !copy_items(arrays[5], "lost", n, b.lost)) {
    return false;
  }
  for (std::uint8_t k : b.kinds) {
    if (k >= kStreams.size()) {
      PyErr_SetString(PyExc_ValueError, "kinds must be 0 (raw) or 1 (estimated)");
      return false;
    }
  }
  return true;
}

struct SampleClockObject {
  PyObject_HEAD std::array<SampleClock, 2>* clocks;  // one per stream
  std::vector<std::uint8_t>* order;                  // the kind of each packet not yet given, oldest first
  std::size_t order_head;                            // order's first live entry
  std::array<std::vector<std::int64_t>, 2>* ready;   // times made but not given, per stream
  std::array<std::size_t, 2> ready_head;
  LossNews news;
  std::atomic<bool> busy;
};

SampleClockObject* as_clock(PyObject* self) { return reinterpret_cast<SampleClockObject*>(self); }

PyObject* clock_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"baud", "lookahead_ns", nullptr};
  double baud = 0;
  long long lookahead = SampleClock::kLookaheadNs;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "d|L:SampleClock", const_cast<char**>(names), &baud, &lookahead)) {
    return nullptr;
  }
  if (!positive_baud(baud)) return nullptr;
  if (lookahead < 0) {
    PyErr_SetString(PyExc_ValueError, "lookahead_ns must not be negative");
    return nullptr;
  }
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  SampleClockObject* c = as_clock(self);
  c->clocks = new (std::nothrow) std::array<SampleClock, 2>{SampleClock(baud, lookahead), SampleClock(baud, lookahead)};
  c->order = new (std::nothrow) std::vector<std::uint8_t>();
  c->ready = new (std::nothrow) std::array<std::vector<std::int64_t>, 2>();
  c->order_head = 0;
  c->ready_head = {0, 0};
  c->news = LossNews();
  new (&c->busy) std::atomic<bool>(false);
  if (!c->clocks || !c->order || !c->ready) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

void clock_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  SampleClockObject* c = as_clock(self);
  delete c->clocks;
  delete c->order;
  delete c->ready;
  std::destroy_at(&c->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// feed(first_ns, first_bytes, done_ns, lengths, kinds, lost): adds a batch of
// packets in arrival order.
PyObject* clock_feed(PyObject* self, PyObject* args) {
  PyObject* arrays[6];
  if (!PyArg_ParseTuple(args, "OOOOOO:feed", &arrays[0], &arrays[1], &arrays[2], &arrays[3], &arrays[4], &arrays[5])) {
    return nullptr;
  }
  Batch b;
  if (!parse_batch(arrays, b)) return nullptr;
  SampleClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  for (std::size_t i = 0; i < b.size(); ++i) {
    (*c->clocks)[b.kinds[i]].push(b.at(i, c->news.lost_before(b.kinds[i], b.lost[i] != 0)));
    c->order->push_back(b.kinds[i]);
  }
  Py_RETURN_NONE;
}

// The times of the oldest packets whose times are all known, in feed order,
// plus `offset`; forgets them.
PyObject* hand_out(SampleClockObject* c, std::int64_t offset) {
  std::vector<std::int64_t> out;
  auto& order = *c->order;
  auto& ready = *c->ready;
  while (c->order_head < order.size()) {
    const std::uint8_t k = order[c->order_head];
    if (c->ready_head[k] == ready[k].size()) break;
    out.push_back(ready[k][c->ready_head[k]++] + offset);
    ++c->order_head;
  }
  drop_given(order, c->order_head);
  for (std::size_t k = 0; k < ready.size(); ++k) drop_given(ready[k], c->ready_head[k]);
  return int64_bytes(out);
}

// take(now_ns=-1, wall_minus_mono_ns=0): the times (int64 bytes) of the
// oldest packets fed that are now due, in feed order.
PyObject* clock_take(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"now_ns", "wall_minus_mono_ns", nullptr};
  long long now = -1;
  long long offset = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|LL:take", const_cast<char**>(names), &now, &offset)) {
    return nullptr;
  }
  SampleClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  for (std::size_t k = 0; k < c->clocks->size(); ++k) (*c->clocks)[k].take((*c->ready)[k], now);
  return hand_out(c, offset);
}

// finish(wall_minus_mono_ns=0): the times of every packet not yet given.
PyObject* clock_finish(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"wall_minus_mono_ns", nullptr};
  long long offset = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|L:finish", const_cast<char**>(names), &offset)) return nullptr;
  SampleClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  for (std::size_t k = 0; k < c->clocks->size(); ++k) (*c->clocks)[k].finish((*c->ready)[k]);
  return hand_out(c, offset);
}

// state(): each stream's ClockState as a dict.
PyObject* clock_state(PyObject* self, PyObject*) {
  SampleClockObject* c = as_clock(self);
  BusyGuard guard(c->busy);
  if (!guard) return nullptr;
  return clock_state_dict({(*c->clocks)[0].state(), (*c->clocks)[1].state()});
}

PyMethodDef clock_methods[] = {
    {"state", clock_state, METH_NOARGS,
     "state($self, /)\n--\n\nEach stream's clock now: {'raw': {...}, 'estimated': {...}} with locked, packets, "
     "rate_hz, drift_ppm, residual_ns, segment_ns, pauses and lost."},
    {"feed", clock_feed, METH_VARARGS,
     "feed($self, first_ns, first_bytes, done_ns, lengths, kinds, lost, /)\n--\n\nAdds packets in arrival order "
     "(bytes-like arrays of int64, uint32, int64, uint32, uint8, uint8)."},
    {"take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clock_take)), METH_VARARGS | METH_KEYWORDS,
     "take($self, now_ns=-1, wall_minus_mono_ns=0)\n--\n\nThe times (int64 bytes, ns) of the oldest packets "
     "now due, in the order fed: due once the arrivals (or now_ns) have gone the look-ahead past them."},
    {"finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clock_finish)), METH_VARARGS | METH_KEYWORDS,
     "finish($self, wall_minus_mono_ns=0)\n--\n\nThe times of every packet not yet given, the stream having "
     "ended."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot clock_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(clock_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(clock_dealloc)},
    {Py_tp_methods, clock_methods},
    {Py_tp_doc, const_cast<char*>("SampleClock(baud, lookahead_ns=64000000)\n--\n\nThe unit's sample clock of both "
                                  "streams, recovered as packets arrive (monotonic ns).")},
    {0, nullptr},
};

PyType_Spec clock_spec = {"vorn_native_testing.SampleClock", static_cast<int>(sizeof(SampleClockObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, clock_slots};

}  // namespace

PyObject* sample_times(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"first_ns", "first_bytes",        "done_ns", "lengths", "kinds", "lost",
                                "baud",     "wall_minus_mono_ns", nullptr};
  PyObject* arrays[6];
  double baud = 0;
  PyObject* wall_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOd|O:sample_times", const_cast<char**>(names), &arrays[0],
                                   &arrays[1], &arrays[2], &arrays[3], &arrays[4], &arrays[5], &baud, &wall_obj)) {
    return nullptr;
  }
  if (!positive_baud(baud)) return nullptr;
  Batch b;
  if (!parse_batch(arrays, b)) return nullptr;
  std::vector<std::int64_t> wall;
  if (wall_obj != Py_None && !copy_items(wall_obj, "wall_minus_mono_ns", static_cast<Py_ssize_t>(b.size()), wall)) {
    return nullptr;
  }
  std::vector<std::int64_t> times(b.size());
  std::array<ClockStats, 2> stats;
  PyThreadState* released = PyEval_SaveThread();
  std::array<std::vector<PacketArrival>, 2> streams;
  std::array<std::vector<std::size_t>, 2> places;
  LossNews news;
  for (std::size_t i = 0; i < b.size(); ++i) {
    streams[b.kinds[i]].push_back(b.at(i, news.lost_before(b.kinds[i], b.lost[i] != 0)));
    places[b.kinds[i]].push_back(i);
  }
  for (std::size_t k = 0; k < kStreams.size(); ++k) {
    const std::vector<std::size_t>& where = places[k];
    const std::vector<std::int64_t> t = recover_offline(streams[k], baud, &stats[k]);
    for (std::size_t j = 0; j < t.size(); ++j) times[where[j]] = t[j] + (wall.empty() ? 0 : wall[where[j]]);
  }
  PyEval_RestoreThread(released);
  Ref out = Ref::steal(int64_bytes(times));
  Ref figures = Ref::steal(out ? figures_dict(stats) : nullptr);
  if (!figures) return nullptr;
  return PyTuple_Pack(2, out.get(), figures.get());
}

PyObject* make_sample_clock_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &clock_spec, nullptr); }

}  // namespace vorn::tools
