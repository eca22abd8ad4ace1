// RosPacker: the unit's packets as ROS 2 messages (serialized CDR), each
// topic's as bytes, packed by the core's packer from columns: the MCAP
// export's messages, for a ROS 2 publisher or any other output.
#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <optional>

#include "native.hpp"
#include "pyref.hpp"
#include "ros_columns.hpp"
#include "ros_messages.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

struct PackerObject {
  PyObject_HEAD ros::MessagePacker* packer;
  ros::MessageBatch* batch;
  std::atomic<bool> busy;
};

constexpr std::size_t kDetachFrom = 256;  // packets

PackerObject* as_packer(PyObject* self) { return reinterpret_cast<PackerObject*>(self); }

PyObject* packer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"frame_id", "body_frame", "covariances", nullptr};
  const char* frame_id = nullptr;
  int body_frame = 0;
  PyObject* covariances = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$pO:RosPacker", const_cast<char**>(names), &frame_id, &body_frame,
                                   &covariances)) {
    return nullptr;
  }
  std::array<double, 9> rate_cov{}, accel_cov{};
  if (!covariances_of(covariances, rate_cov, accel_cov)) return nullptr;
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;
  PackerObject* p = as_packer(self);
  new (&p->busy) std::atomic<bool>(false);
  p->packer = new (std::nothrow) ros::MessagePacker(frame_id);
  p->batch = new (std::nothrow) ros::MessageBatch();
  if (!p->packer || !p->batch) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  p->packer->set_body_frame(body_frame != 0);
  p->packer->set_covariances(rate_cov, accel_cov);
  return self;
}

void packer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PackerObject* p = as_packer(self);
  delete p->packer;
  delete p->batch;
  std::destroy_at(&p->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// A new list of one topic's messages, each a new bytes object.
PyObject* messages_list(const ros::MessageBatch::Messages& m) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(m.ends.size())));
  if (!list) return nullptr;
  std::size_t at = 0;
  for (std::size_t k = 0; k < m.ends.size(); ++k) {
    PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m.bytes.data() + at),
                                            static_cast<Py_ssize_t>(m.ends[k] - at));
    if (!b) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), b);  // steals b
    at = m.ends[k];
  }
  return list.release();
}

// pack(kinds, values, flags, stamps): a new tuple of one list per topic (in
// the order of the topics' ids) of its messages, in packet order.
PyObject* packer_pack(PyObject* self, PyObject* args) {
  PyObject *kinds = nullptr, *values = nullptr, *flags = nullptr, *stamps = nullptr;
  if (!PyArg_ParseTuple(args, "OOOO:pack", &kinds, &values, &flags, &stamps)) return nullptr;
  Views views;
  ros::Columns c;
  // No log time: the stamps stand in for it.
  if (!columns_of(views, kinds, values, flags, stamps, stamps, c)) return nullptr;
  PackerObject* p = as_packer(self);
  BusyGuard guard(p->busy);
  if (!guard) return nullptr;
  // A live batch of a packet or two is packed at once; a longer piece
  // without the interpreter.
  PyThreadState* released = c.count >= kDetachFrom ? PyEval_SaveThread() : nullptr;
  p->batch->clear();
  const std::optional<std::size_t> refused = p->packer->pack(c, *p->batch);
  if (released) PyEval_RestoreThread(released);
  if (refused) {
    return PyErr_Format(PyExc_ValueError,
                        "a packet's stamp (%lld ns) is out of range: ROS's Time holds seconds since 1970 as int32",
                        static_cast<long long>(c.stamps[*refused]));
  }
  Ref out = Ref::steal(PyTuple_New(ros::kTopics));
  if (!out) return nullptr;
  for (std::uint16_t id = 1; id <= ros::kTopics; ++id) {
    PyObject* list = messages_list(p->batch->topic(static_cast<ros::Topic>(id)));
    if (!list) return nullptr;
    PyTuple_SetItem(out.get(), id - 1, list);  // steals list
  }
  return out.release();
}

PyMethodDef packer_methods[] = {
    {"pack", packer_pack, METH_VARARGS,
     "pack($self, kinds, values, flags, stamps, /)\n--\n\nEach packet's messages (kinds uint8; values float32 and "
     "flags uint8, one buffer per column in record order; header.stamp int64 ns): a tuple of one list per topic, "
     "in the order of the MCAP export's channel ids, of serialized CDR messages (bytes) in packet order."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot packer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(packer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(packer_dealloc)},
    {Py_tp_methods, packer_methods},
    {Py_tp_doc, const_cast<char*>("RosPacker(frame_id, *, body_frame=False, covariances=None)\n--\n\n"
                                  "The unit's packets as serialized ROS 2 messages, the MCAP export's; body_frame: "
                                  "REP 103's axes; covariances: the raw angular velocity's and linear "
                                  "acceleration's, 9 numbers each.")},
    {0, nullptr},
};

PyType_Spec packer_spec = {"vorn._native.RosPacker", static_cast<int>(sizeof(PackerObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, packer_slots};

}  // namespace

PyObject* make_ros_packer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &packer_spec, nullptr); }

int add_ros_tables(PyObject* module) {
  Ref gravity = Ref::steal(PyFloat_FromDouble(ros::kStandardGravity));
  Ref g = gravity ? Ref::steal(PyObject_Repr(gravity.get())) : Ref{};
  Ref out = g ? Ref::steal(PyTuple_New(ros::kTopics)) : Ref{};
  if (!out) return -1;
  for (std::size_t k = 0; k < ros::kTopics; ++k) {
    const ros::TopicInfo& t = ros::kTopicTable[k];
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(t.text.data(), static_cast<Py_ssize_t>(t.text.size())));
    Ref mark = Ref::steal(PyUnicode_FromString("{g}"));
    Ref filled = text && mark ? Ref::steal(PyUnicode_Replace(text.get(), mark.get(), g.get(), -1)) : Ref{};
    PyObject* row = filled ? Py_BuildValue("(s#s#O)", t.name.data(), static_cast<Py_ssize_t>(t.name.size()),
                                           t.type.data(), static_cast<Py_ssize_t>(t.type.size()), filled.get())
                           : nullptr;
    if (!row) return -1;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(k), row);  // steals row
  }
  if (PyModule_AddObjectRef(module, "ROS_TOPICS", out.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "STANDARD_GRAVITY", gravity.get());
}

}  // namespace vorn::tools
