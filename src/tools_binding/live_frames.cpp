// LiveFrames: a port's reads framed and given their sample times as they
// arrive, for vorn.open. One call per look at the line frames its reads,
// tells the sample clock of each packet completed and holds the packet; one
// more hands out the packets whose times are known, as Framer.columns' byte
// columns with their arrival and sample times beside them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "framing.hpp"
#include "given.hpp"
#include "native.hpp"
#include "places.hpp"
#include "pyref.hpp"
#include "sample_clock.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// A packet completed, with what the clock is told of it.
struct Framed {
  IMUPacket packet;
  std::uint64_t offset;
  std::uint32_t length;
  bool lost;
};

class Sink final : public PacketSender {
 public:
  Sink(std::vector<Framed>& out, const PlaceObserver& place) : out_(out), place_(place) {}
  bool send(IMUPacket& p) override {
    out_.push_back({std::move(p), place_.offset, place_.length, place_.lost});
    return true;
  }

 private:
  std::vector<Framed>& out_;
  const PlaceObserver& place_;
};

// Everything of one segment of the stream (from an open of the port to its
// loss) but the latest sample time given per kind, which spans segments.
struct Segment {
  explicit Segment(double baud, std::int64_t lookahead)
      : clocks{SampleClock(baud, lookahead), SampleClock(baud, lookahead)} {}

  std::vector<std::uint8_t> buffer;  // bytes kept for the next read
  StreamPlace place;
  std::uint64_t framed = 0;  // bytes given to framing
  bool prior = false;        // a read came before: its end is `framed`, it returned at prior_mono
  std::int64_t prior_mono = 0;
  std::array<SampleClock, 2> clocks;  // one per stream, in PacketKind order
  LossNews loss_news;
  std::array<std::vector<std::int64_t>, 2> ready;  // times made, not yet given
  std::array<std::size_t, 2> ready_head{};
};

// The packets held for their times, oldest first, from `head` on.
struct Held {
  std::vector<IMUPacket> packets;
  std::vector<std::uint8_t> kinds;
  std::vector<std::int64_t> host;  // the wall clock when the read completing it returned
  std::vector<std::int64_t> done;  // the same on the monotonic clock
  std::size_t head = 0;

  std::size_t size() const { return packets.size() - head; }
  void drop(std::size_t n) {
    head += n;
    std::size_t h = head;
    drop_given(packets, h);
    h = head;
    drop_given(kinds, h);
    h = head;
    drop_given(host, h);
    drop_given(done, head);
  }
};

struct LiveObject {
  PyObject_HEAD double baud;
  std::int64_t lookahead;
  Segment* segment;
  Held* held;
  std::vector<Framed>* scratch;
  std::array<std::int64_t, 2> last;  // the latest sample time given per kind
  std::atomic<bool> busy;
};

LiveObject* as_live(PyObject* self) { return reinterpret_cast<LiveObject*>(self); }

PyObject* live_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"baud", "lookahead_ns", nullptr};
  double baud = 0;
  long long lookahead = SampleClock::kLookaheadNs;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "d|L:LiveFrames", const_cast<char**>(names), &baud, &lookahead)) {
    return nullptr;
  }
  if (!(baud > 0)) {
    PyErr_SetString(PyExc_ValueError, "baud must be positive");
    return nullptr;
  }
  if (lookahead < 0) {
    PyErr_SetString(PyExc_ValueError, "lookahead_ns must not be negative");
    return nullptr;
  }
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  LiveObject* l = as_live(self);
  l->baud = baud;
  l->lookahead = lookahead;
  l->segment = new (std::nothrow) Segment(baud, lookahead);
  l->held = new (std::nothrow) Held();
  l->scratch = new (std::nothrow) std::vector<Framed>();
  l->last = {-1, -1};
  new (&l->busy) std::atomic<bool>(false);
  if (!l->segment || !l->held || !l->scratch) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

void live_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  LiveObject* l = as_live(self);
  delete l->segment;
  delete l->held;
  delete l->scratch;
  std::destroy_at(&l->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// One read of a feed: its bytes, and when it returned on both clocks.
struct Read {
  Py_buffer view;
  std::int64_t wall = 0;
  std::int64_t mono = 0;
};

// Reads (data, (wall_ns, mono_ns, ...)) into `read`; false with an exception set.
bool parse_read(PyObject* item, Read& read) {
  PyObject* data = PyTuple_Check(item) && PyTuple_Size(item) == 2 ? PyTuple_GetItem(item, 0) : nullptr;
  PyObject* stamp = data ? PyTuple_GetItem(item, 1) : nullptr;
  if (!stamp || !PyTuple_Check(stamp) || PyTuple_Size(stamp) < 2) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "each read must be (bytes, (wall_ns, mono_ns))");
    return false;
  }
  read.wall = PyLong_AsLongLong(PyTuple_GetItem(stamp, 0));
  if (read.wall == -1 && PyErr_Occurred()) return false;
  read.mono = PyLong_AsLongLong(PyTuple_GetItem(stamp, 1));
  if (read.mono == -1 && PyErr_Occurred()) return false;
  return PyObject_GetBuffer(data, &read.view, PyBUF_SIMPLE) == 0;
}

// feed(reads): the reads of one look at the line, in order, each a pair of
// its bytes and its arrival (wall_ns, mono_ns): frames them, tells the clock
// of each packet they complete and holds the packets for their times.
PyObject* live_feed(PyObject* self, PyObject* reads_obj) {
  LiveObject* l = as_live(self);
  if (!PyList_Check(reads_obj)) {
    PyErr_SetString(PyExc_TypeError, "reads must be a list");
    return nullptr;
  }
  const Py_ssize_t count = PyList_Size(reads_obj);
  std::vector<Read> reads(static_cast<std::size_t>(count));
  Py_ssize_t parsed = 0;
  auto release = [&] {
    for (Py_ssize_t i = 0; i < parsed; ++i) PyBuffer_Release(&reads[static_cast<std::size_t>(i)].view);
  };
  for (; parsed < count; ++parsed) {
    if (!parse_read(PyList_GetItem(reads_obj, parsed), reads[static_cast<std::size_t>(parsed)])) {
      release();
      return nullptr;
    }
  }
  BusyGuard guard(l->busy);
  if (!guard) {
    release();
    return nullptr;
  }
  Segment& s = *l->segment;
  Held& held = *l->held;
  std::vector<Framed>& framed = *l->scratch;
  // Where each read ends in the stream and when it returned; the read before
  // this feed first, where a packet begun earlier had its first bytes.
  std::vector<std::int64_t> ends;
  std::vector<std::int64_t> monos;
  std::vector<std::int64_t> walls;
  if (s.prior) {
    ends.push_back(static_cast<std::int64_t>(s.framed));
    monos.push_back(s.prior_mono);
    walls.push_back(0);
  }
  PyThreadState* released = PyEval_SaveThread();
  for (const Read& r : reads) {
    const auto* bytes = static_cast<const std::uint8_t*>(r.view.buf);
    s.framed += static_cast<std::uint64_t>(r.view.len);
    ends.push_back(static_cast<std::int64_t>(s.framed));
    monos.push_back(r.mono);
    walls.push_back(r.wall);
    const std::size_t done = ends.size() - 1;
    s.buffer.insert(s.buffer.end(), bytes, bytes + r.view.len);
    framed.clear();
    PlaceObserver observer(s.place);
    Sink sink(framed, observer);
    // Every sender call accepts, so framing always runs to the end of the buffer.
    const std::size_t before = s.buffer.size();
    (void)process_buffer(s.buffer, sink, no_clock, &observer);
    s.place.base += before - s.buffer.size();
    for (Framed& f : framed) {
      const auto offset = static_cast<std::int64_t>(f.offset);
      // The read holding the packet's first byte: the first to end after it.
      const auto first = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), offset) - ends.begin());
      PacketArrival a;
      a.first_ns = monos[first];
      a.first_bytes = static_cast<std::uint32_t>(std::min<std::int64_t>(ends[first] - offset, f.length));
      a.done_ns = monos[done];
      a.length = f.length;
      const auto kind = static_cast<std::size_t>(f.packet.kind());
      a.lost_before = s.loss_news.lost_before(kind, f.lost);
      s.clocks[kind].push(a);
      held.kinds.push_back(static_cast<std::uint8_t>(kind));
      held.host.push_back(walls[done]);
      held.done.push_back(monos[done]);
      held.packets.push_back(std::move(f.packet));
    }
  }
  if (!reads.empty()) {
    s.prior = true;
    s.prior_mono = monos.back();
  }
  PyEval_RestoreThread(released);
  release();
  Py_RETURN_NONE;
}

// The oldest held packets whose times the clocks have made, as a tuple of
// bytes (host_time_ns int64, time_ns int64, kinds, values, flags: the last
// three as Framer.columns gives them), or None when there is none.
PyObject* hand_out(LiveObject* l) {
  Segment& s = *l->segment;
  Held& held = *l->held;
  // In the order fed, up to the first packet whose stream has no time yet.
  std::size_t n = 0;
  std::array<std::size_t, 2> taken{};
  while (n < held.size()) {
    const std::uint8_t k = held.kinds[held.head + n];
    if (s.ready_head[k] + taken[k] == s.ready[k].size()) break;
    ++taken[k];
    ++n;
  }
  if (n == 0) Py_RETURN_NONE;
  char *host_buf = nullptr, *time_buf = nullptr, *kinds_buf = nullptr, *values_buf = nullptr, *flags_buf = nullptr;
  auto bytes = [](std::size_t size, char*& buf) -> Ref {
    Ref out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (out) buf = PyByteArray_AsString(out.get());
    return out;
  };
  Ref host = bytes(n * sizeof(std::int64_t), host_buf);
  Ref times = host ? bytes(n * sizeof(std::int64_t), time_buf) : Ref();
  Ref kinds = times ? bytes(n, kinds_buf) : Ref();
  Ref values = kinds ? bytes(n * kValueColumnCount * sizeof(float), values_buf) : Ref();
  Ref flags = values ? bytes(n * kFlagColumnCount, flags_buf) : Ref();
  if (!flags) return nullptr;
  fill_columns(std::span<const IMUPacket>(held.packets).subspan(held.head, n), kinds_buf, values_buf, flags_buf);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t h = held.head + i;
    const std::uint8_t k = held.kinds[h];
    // The clock's time is on the monotonic clock: onto the wall clock by the
    // read that completed the packet, never after that read, and rising
    // strictly per kind should the wall clock have been set back.
    std::int64_t t = s.ready[k][s.ready_head[k]++] + (held.host[h] - held.done[h]);
    t = std::max(std::min(t, held.host[h]), l->last[k] + 1);
    l->last[k] = t;
    std::memcpy(host_buf + i * sizeof(std::int64_t), &held.host[h], sizeof(std::int64_t));
    std::memcpy(time_buf + i * sizeof(std::int64_t), &t, sizeof(std::int64_t));
  }
  held.drop(n);
  for (std::size_t k = 0; k < s.ready.size(); ++k) drop_given(s.ready[k], s.ready_head[k]);
  return PyTuple_Pack(5, host.get(), times.get(), kinds.get(), values.get(), flags.get());
}

// take(now_ns): the packets now due (see hand_out): those the arrivals, or
// now_ns on the monotonic clock, have gone the look-ahead past.
PyObject* live_take(PyObject* self, PyObject* arg) {
  const long long now = PyLong_AsLongLong(arg);
  if (now == -1 && PyErr_Occurred()) return nullptr;
  LiveObject* l = as_live(self);
  BusyGuard guard(l->busy);
  if (!guard) return nullptr;
  Segment& s = *l->segment;
  if (l->held->size() == 0) Py_RETURN_NONE;
  for (std::size_t k = 0; k < s.clocks.size(); ++k) s.clocks[k].take(s.ready[k], now);
  return hand_out(l);
}

// finish(): every packet held, the segment having ended (the port was lost).
PyObject* live_finish(PyObject* self, PyObject*) {
  LiveObject* l = as_live(self);
  BusyGuard guard(l->busy);
  if (!guard) return nullptr;
  Segment& s = *l->segment;
  for (std::size_t k = 0; k < s.clocks.size(); ++k) s.clocks[k].finish(s.ready[k]);
  return hand_out(l);
}

// restart(): a new segment (the port open again): framing and the clock
// begin afresh; the times given go on rising from the last ones.
PyObject* live_restart(PyObject* self, PyObject*) {
  LiveObject* l = as_live(self);
  BusyGuard guard(l->busy);
  if (!guard) return nullptr;
  Segment* fresh = new (std::nothrow) Segment(l->baud, l->lookahead);
  if (!fresh) return PyErr_NoMemory();
  delete l->segment;
  l->segment = fresh;
  *l->held = Held();
  Py_RETURN_NONE;
}

// due(): when the oldest packet held falls due on the monotonic clock (ns),
// or None when none is held.
PyObject* live_due(PyObject* self, PyObject*) {
  LiveObject* l = as_live(self);
  BusyGuard guard(l->busy);
  if (!guard) return nullptr;
  const Held& held = *l->held;
  if (held.size() == 0) Py_RETURN_NONE;
  // The oldest packet's clock may hold it past its look-ahead (a segment's
  // first packets, those from a loss on): it says when.
  const std::int64_t clock_due = l->segment->clocks[held.kinds[held.head]].due_ns();
  return PyLong_FromLongLong(std::max(held.done[held.head] + l->lookahead, clock_due));
}

// state(): each stream's clock now, as SampleClock.state() gives it.
PyObject* live_state(PyObject* self, PyObject*) {
  LiveObject* l = as_live(self);
  BusyGuard guard(l->busy);
  if (!guard) return nullptr;
  const Segment& s = *l->segment;
  return clock_state_dict({s.clocks[0].state(), s.clocks[1].state()});
}

PyMethodDef live_methods[] = {
    {"feed", live_feed, METH_O,
     "feed($self, reads, /)\n--\n\nFrames the reads of one look at the line (a list of (bytes, (wall_ns, "
     "mono_ns))), tells the sample clock of the packets they complete and holds them."},
    {"take", live_take, METH_O,
     "take($self, now_ns, /)\n--\n\nThe held packets now due, oldest first: (host_time_ns, time_ns, kinds, "
     "values, flags) as bytearrays, or None."},
    {"finish", live_finish, METH_NOARGS, "finish($self, /)\n--\n\nEvery packet held, as take() gives them."},
    {"restart", live_restart, METH_NOARGS,
     "restart($self, /)\n--\n\nA new segment: framing and the sample clock begin again."},
    {"due", live_due, METH_NOARGS,
     "due($self, /)\n--\n\nWhen the oldest packet held falls due (monotonic ns), or None."},
    {"state", live_state, METH_NOARGS,
     "state($self, /)\n--\n\nEach stream's sample clock now, as SampleClock.state() gives it (the counts "
     "begin again with a segment)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot live_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(live_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(live_dealloc)},
    {Py_tp_methods, live_methods},
    {Py_tp_doc, const_cast<char*>("LiveFrames(baud, lookahead_ns=64000000)\n--\n\nA live line's reads framed, and "
                                  "its packets given their sample times as they become known.")},
    {0, nullptr},
};

PyType_Spec live_spec = {"vorn._native.LiveFrames", static_cast<int>(sizeof(LiveObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, live_slots};

}  // namespace

PyObject* make_live_frames_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &live_spec, nullptr); }

}  // namespace vorn::tools
