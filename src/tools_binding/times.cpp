// The arrival-times file's codec and CRC-32C, for the vorn package's reader
// and writer of times files.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "native.hpp"
#include "pyref.hpp"
#include "times_file.hpp"

namespace vorn::tools {

namespace {

using py::Ref;

// The bytes of a bytes object as a span; false with an exception for anything else.
bool bytes_of(PyObject* obj, std::span<const std::uint8_t>& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
  out = std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return true;
}

// Native 64-bit integers from a bytes object (array("q").tobytes()).
template <class T>
bool numbers_of(PyObject* obj, std::vector<T>& out) {
  std::span<const std::uint8_t> raw;
  if (!bytes_of(obj, raw)) return false;
  if (raw.size() % sizeof(T) != 0) {
    PyErr_SetString(PyExc_ValueError, "not whole 64-bit numbers");
    return false;
  }
  out.resize(raw.size() / sizeof(T));
  if (!raw.empty()) std::memcpy(out.data(), raw.data(), raw.size());
  return true;
}

template <class T>
PyObject* as_bytes(const std::vector<T>& items) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                   static_cast<Py_ssize_t>(items.size() * sizeof(T)));
}

// crc32c(data, crc=0, /): the CRC-32C of data, continuing from crc.
PyObject* py_crc32c(PyObject*, PyObject* args) {
  PyObject* data = nullptr;
  unsigned long crc = 0;
  if (!PyArg_ParseTuple(args, "O|k:crc32c", &data, &crc)) return nullptr;
  std::span<const std::uint8_t> bytes;
  if (!bytes_of(data, bytes)) return nullptr;
  std::uint32_t out = 0;
  Py_BEGIN_ALLOW_THREADS out = times::crc32c(bytes, static_cast<std::uint32_t>(crc));
  Py_END_ALLOW_THREADS return PyLong_FromUnsignedLong(out);
}

// encode_times_block(first, data_crc, lengths, walls, monos, /) -> bytes.
PyObject* py_encode_block(PyObject*, PyObject* args) {
  unsigned long long first = 0;
  unsigned long data_crc = 0;
  PyObject *lengths_obj = nullptr, *walls_obj = nullptr, *monos_obj = nullptr;
  if (!PyArg_ParseTuple(args, "KkOOO:encode_times_block", &first, &data_crc, &lengths_obj, &walls_obj, &monos_obj)) {
    return nullptr;
  }
  std::vector<std::uint64_t> lengths;
  std::vector<std::int64_t> walls, monos;
  if (!numbers_of(lengths_obj, lengths) || !numbers_of(walls_obj, walls) || !numbers_of(monos_obj, monos)) {
    return nullptr;
  }
  std::vector<std::uint8_t> out;
  if (!times::encode_block(out, first, static_cast<std::uint32_t>(data_crc), lengths, walls, monos)) {
    PyErr_SetString(PyExc_ValueError, "a block needs one or more reads, each of one byte or more, and a clock each");
    return nullptr;
  }
  return as_bytes(out);
}

// encode_times_gap(first, end, data_crc, lost_wall, lost_mono, back_wall, back_mono, /) -> bytes.
PyObject* py_encode_gap(PyObject*, PyObject* args) {
  unsigned long long first = 0, end = 0;
  unsigned long data_crc = 0;
  long long lost_wall = 0, lost_mono = 0, back_wall = 0, back_mono = 0;
  if (!PyArg_ParseTuple(args, "KKkLLLL:encode_times_gap", &first, &end, &data_crc, &lost_wall, &lost_mono, &back_wall,
                        &back_mono)) {
    return nullptr;
  }
  std::vector<std::uint8_t> out;
  if (!times::encode_gap(out, first, end, static_cast<std::uint32_t>(data_crc), lost_wall, lost_mono, back_wall,
                         back_mono)) {
    PyErr_SetString(PyExc_ValueError,
                    "a gap follows a block (first <= end) and ends after it begins (monotonic clock)");
    return nullptr;
  }
  return as_bytes(out);
}

// encode_times_loss(first, end, data_crc, at, bytes, cause, wall, mono, /) -> bytes.
PyObject* py_encode_loss(PyObject*, PyObject* args) {
  unsigned long long first = 0, end = 0, at = 0, bytes = 0;
  unsigned long data_crc = 0;
  int cause = 0;
  long long wall = 0, mono = 0;
  if (!PyArg_ParseTuple(args, "KKkKKiLL:encode_times_loss", &first, &end, &data_crc, &at, &bytes, &cause, &wall,
                        &mono)) {
    return nullptr;
  }
  if (first > end || bytes == 0 || cause < 1 || cause > 3) {
    PyErr_SetString(PyExc_ValueError, "a loss follows a block (first <= end), of at least a byte, cause 1 to 3");
    return nullptr;
  }
  std::vector<std::uint8_t> out;
  times::encode_loss(out, first, end, static_cast<std::uint32_t>(data_crc), at, bytes,
                     static_cast<times::LossCause>(cause), wall, mono);
  return as_bytes(out);
}

// Sets d[key] = value (a new reference, stolen); false with an exception.
bool put(PyObject* d, const char* key, PyObject* value) {
  Ref v = Ref::steal(value);
  return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

// Each column of reads let go once it is bytes: a long recording's reads are
// held twice only a column at a time.
PyObject* column_bytes(std::vector<std::int64_t>& column) {
  PyObject* out = as_bytes(column);
  std::vector<std::int64_t>().swap(column);
  return out;
}

PyObject* decoded_dict(times::Decoded& t) {
  Ref blocks = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.blocks.size())));
  if (!blocks) return nullptr;
  for (std::size_t i = 0; i < t.blocks.size(); ++i) {
    const times::Block& b = t.blocks[i];
    Ref crc = Ref::steal(b.checked ? PyLong_FromUnsignedLong(b.data_crc) : Py_NewRef(Py_None));
    PyObject* item =
        crc ? Py_BuildValue("(KKOnn)", static_cast<unsigned long long>(b.first), static_cast<unsigned long long>(b.end),
                            crc.get(), static_cast<Py_ssize_t>(b.reads_begin), static_cast<Py_ssize_t>(b.reads_end))
            : nullptr;
    if (!item) return nullptr;
    PyList_SET_ITEM(blocks.get(), static_cast<Py_ssize_t>(i), item);
  }
  // Each gap as (index of the block that vouches for it or None, offset, lost wall, lost mono, back wall, back mono).
  Ref gaps = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.gaps.size())));
  if (!gaps) return nullptr;
  for (std::size_t i = 0; i < t.gaps.size(); ++i) {
    const times::Gap& g = t.gaps[i];
    Ref block = Ref::steal(g.block == times::Gap::kNoBlock ? Py_NewRef(Py_None) : PyLong_FromSize_t(g.block));
    PyObject* item = block ? Py_BuildValue("(OKLLLL)", block.get(), static_cast<unsigned long long>(g.at),
                                           static_cast<long long>(g.lost_wall), static_cast<long long>(g.lost_mono),
                                           static_cast<long long>(g.back_wall), static_cast<long long>(g.back_mono))
                           : nullptr;
    if (!item) return nullptr;
    PyList_SET_ITEM(gaps.get(), static_cast<Py_ssize_t>(i), item);
  }
  // Each loss as (index of the block that vouches for it or None, offset, bytes, cause, wall, mono).
  Ref losses = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.losses.size())));
  if (!losses) return nullptr;
  for (std::size_t i = 0; i < t.losses.size(); ++i) {
    const times::Loss& l = t.losses[i];
    Ref block = Ref::steal(l.block == times::Gap::kNoBlock ? Py_NewRef(Py_None) : PyLong_FromSize_t(l.block));
    PyObject* item = block ? Py_BuildValue("(OKKiLL)", block.get(), static_cast<unsigned long long>(l.at),
                                           static_cast<unsigned long long>(l.bytes), static_cast<int>(l.cause),
                                           static_cast<long long>(l.wall), static_cast<long long>(l.mono))
                           : nullptr;
    if (!item) return nullptr;
    PyList_SET_ITEM(losses.get(), static_cast<Py_ssize_t>(i), item);
  }
  Ref d = Ref::steal(PyDict_New());
  if (!d || !put(d.get(), "version", PyLong_FromLong(t.version)) ||
      PyDict_SetItemString(d.get(), "losses", losses.get()) < 0 ||
      PyDict_SetItemString(d.get(), "blocks", blocks.get()) < 0 ||
      PyDict_SetItemString(d.get(), "gaps", gaps.get()) < 0 || !put(d.get(), "ends", column_bytes(t.ends)) ||
      !put(d.get(), "walls", column_bytes(t.walls)) || !put(d.get(), "monos", column_bytes(t.monos)) ||
      !put(d.get(), "damaged_bytes", PyLong_FromUnsignedLongLong(t.damaged_bytes)) ||
      !put(d.get(), "damaged_blocks", PyLong_FromUnsignedLong(t.damaged_blocks)) ||
      !put(d.get(), "misplaced_blocks", PyLong_FromUnsignedLong(t.misplaced_blocks)) ||
      !put(d.get(), "cut", PyBool_FromLong(t.cut))) {
    return nullptr;
  }
  return d.release();
}

// decode_times(data, recording_size, /) -> dict: a whole version 2 file, or
// for any other the version its magic names and nothing else.
PyObject* py_decode(PyObject*, PyObject* args) {
  PyObject* data = nullptr;
  unsigned long long size = 0;
  if (!PyArg_ParseTuple(args, "OK:decode_times", &data, &size)) return nullptr;
  std::span<const std::uint8_t> bytes;
  if (!bytes_of(data, bytes)) return nullptr;
  times::Decoded t;
  Py_BEGIN_ALLOW_THREADS t = times::decode(bytes, size);
  Py_END_ALLOW_THREADS return decoded_dict(t);
}

// decode_times_v1(payload, complete, recording_size, /) -> dict: the inflated
// stream of a version 1 file.
PyObject* py_decode_v1(PyObject*, PyObject* args) {
  PyObject* data = nullptr;
  int complete = 0;
  unsigned long long size = 0;
  if (!PyArg_ParseTuple(args, "OpK:decode_times_v1", &data, &complete, &size)) return nullptr;
  std::span<const std::uint8_t> bytes;
  if (!bytes_of(data, bytes)) return nullptr;
  times::Decoded t;
  Py_BEGIN_ALLOW_THREADS t = times::decode_v1(bytes, complete != 0, size);
  Py_END_ALLOW_THREADS return decoded_dict(t);
}

PyMethodDef times_functions[] = {
    {"crc32c", py_crc32c, METH_VARARGS, "crc32c(data, crc=0, /)\n--\n\nThe CRC-32C of data, continuing from crc."},
    {"encode_times_block", py_encode_block, METH_VARARGS,
     "encode_times_block(first, data_crc, lengths, walls, monos, /)\n--\n\nOne block of a version 2 times file: "
     "reads from recording offset first on, their lengths (native uint64s), wall and monotonic clocks (native "
     "int64s, ns), and the CRC-32C of the recording bytes they cover."},
    {"encode_times_gap", py_encode_gap, METH_VARARGS,
     "encode_times_gap(first, end, data_crc, lost_wall, lost_mono, back_wall, back_mono, /)\n--\n\nOne gap block "
     "of a version 2 times file: the device went at the first two clocks (ns) and was back at the last two, after "
     "the block of recording bytes [first, end) with that CRC-32C (0, 0, 0 before any block)."},
    {"encode_times_loss", py_encode_loss, METH_VARARGS,
     "encode_times_loss(first, end, data_crc, at, bytes, cause, wall, mono, /)\n--\n\nOne loss marker of a "
     "version 2 times file: bytes lost at recording offset at (cause 1: a live stream's ring, 2: the UART's "
     "overrun, 3: the driver's buffer), seen at the wall and monotonic clocks (ns), after the block of recording "
     "bytes [first, end) with that CRC-32C."},
    {"decode_times", py_decode, METH_VARARGS,
     "decode_times(data, recording_size, /)\n--\n\nThe reads a version 2 times file vouches for, as a dict; for "
     "another version only its number."},
    {"decode_times_v1", py_decode_v1, METH_VARARGS,
     "decode_times_v1(payload, complete, recording_size, /)\n--\n\nThe reads of a version 1 file's inflated "
     "stream that pass its checks, as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_times_functions(PyObject* module) {
  if (PyModule_AddFunctions(module, times_functions) < 0) return -1;
  if (PyModule_AddStringConstant(module, "TIMES_MAGIC_V1", times::kMagicV1.data()) < 0) return -1;
  return PyModule_AddStringConstant(module, "TIMES_MAGIC_V2", times::kMagicV2.data());
}

}  // namespace vorn::tools
