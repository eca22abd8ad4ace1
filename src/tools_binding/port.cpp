// Port: a serial device opened, claimed and configured by the core exactly as
// SerialParser opens it, read raw so that a recording holds every byte.
#include <errno.h>
#include <termios.h>

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "native.hpp"
#include "port_reader.hpp"
#include "pyref.hpp"
#include "serial.hpp"

namespace vorn::tools {

namespace {

// One read takes what the line holds, up to this much.
constexpr std::size_t kPortReadSize = 16384;

// Reads here wait on the caller's thread, where Ctrl-C ends them.
const StopSignal kNeverStopped = StopSignal::none();

struct PortObject {
  PyObject_HEAD std::unique_ptr<TTYPort> port;  // null once closed
  std::atomic<bool> busy;
};

PortObject* as_port(PyObject* self) { return reinterpret_cast<PortObject*>(self); }

// The errno value a failure carries to Python: the system's own, or for a
// failure of ours the code that says the same; 0 for none.
int errno_of(const Failure& failure) {
  switch (failure.code) {
    case Errc::System:
    case Errc::Serial:
      return failure.err;
    case Errc::LockHeld:
      return EBUSY;  // another process has the port
    case Errc::SettingsMismatch:
      return EINVAL;  // the driver did not take the settings
    case Errc::ReadTimedOut:
    case Errc::ChannelTimedOut:
      return ETIMEDOUT;
    default:
      return 0;
  }
}

}  // namespace

PyObject* failure_object(const Failure& failure, const char* path) {
  const int err = errno_of(failure);
  py::Ref code = err ? py::Ref::steal(PyLong_FromLong(err)) : py::Ref::borrow(Py_None);
  if (!code) return nullptr;
  // OSError(errno, text[, path]) is the subclass the errno names (FileNotFoundError, ...).
  py::Ref error =
      py::Ref::steal(path ? PyObject_CallFunction(PyExc_OSError, "Oss", code.get(), failure.message.c_str(), path)
                          : PyObject_CallFunction(PyExc_OSError, "Os", code.get(), failure.message.c_str()));
  return error.release();
}

PyObject* raise_failure(const Failure& failure, const char* path) {
  py::Ref error = py::Ref::steal(failure_object(failure, path));
  if (!error) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

namespace {

PyObject* port_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"path", "baudrate", "timeout", nullptr};
  const char* path = nullptr;
  Py_ssize_t path_len = 0;
  long long baud = kDefaultBaudRate;
  double timeout = 0.1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|Ld:Port", const_cast<char**>(names), &path, &path_len, &baud,
                                   &timeout)) {
    return nullptr;
  }
  if (baud < 0 || baud > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "baudrate out of range");
    return nullptr;
  }
  const SerialSettings settings{std::string(path, static_cast<std::size_t>(path_len)), static_cast<std::uint32_t>(baud),
                                timeout_to_millis(timeout)};
  Result<std::unique_ptr<TTYPort>> opened = Failure::os("");
  Py_BEGIN_ALLOW_THREADS opened = TTYPort::open(settings);
  Py_END_ALLOW_THREADS if (!opened) return raise_failure(opened.error(), settings.path.c_str());
  PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0);
  if (!self) return nullptr;  // the port closes on the way out
  new (&as_port(self)->port) std::unique_ptr<TTYPort>(std::move(opened).value());
  new (&as_port(self)->busy) std::atomic<bool>(false);
  return self;
}

void port_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&as_port(self)->port);  // leaves exclusive mode, closes, drops the lock
  std::destroy_at(&as_port(self)->busy);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// Returns a new bytes object: what arrived, or b"" when nothing came within
// the time-out or a signal cut the wait short (after its handler ran).
PyObject* port_read(PyObject* self, PyObject*) {
  PortObject* p = as_port(self);
  BusyGuard guard(p->busy);
  if (!guard) return nullptr;
  if (!p->port) {
    PyErr_SetString(PyExc_ValueError, "read from a closed port");
    return nullptr;
  }
  std::array<std::uint8_t, kPortReadSize> window;
  Result<std::size_t> got = Failure::os("");
  Py_BEGIN_ALLOW_THREADS got = p->port->read(window, kNeverStopped);
  Py_END_ALLOW_THREADS if (got) {  // never empty: a terminal that reads nothing after a wait has hung up, a failure
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(window.data()),
                                     static_cast<Py_ssize_t>(got.value()));
  }
  const Failure& failure = got.error();
  if (failure.is(Errc::Serial, EINTR)) {
    // Ctrl-C lands here on the main thread: let Python's handler have it.
    if (PyErr_CheckSignals() < 0) return nullptr;
    return PyBytes_FromStringAndSize(nullptr, 0);
  }
  if (failure.is(Errc::ReadTimedOut)) return PyBytes_FromStringAndSize(nullptr, 0);
  return raise_failure(failure, nullptr);
}

// The open descriptor, for a caller that waits on it (poll, epoll, an event
// loop) and then reads with a time-out of 0.
PyObject* port_fileno(PyObject* self, PyObject*) {
  PortObject* p = as_port(self);
  BusyGuard guard(p->busy);
  if (!guard) return nullptr;
  if (!p->port) {
    PyErr_SetString(PyExc_ValueError, "fileno of a closed port");
    return nullptr;
  }
  return PyLong_FromLong(p->port->fd());
}

// Drops what the line has received and not yet been read: bytes that came
// before the open set the line (cooked, or at another speed).
PyObject* port_discard_input(PyObject* self, PyObject*) {
  PortObject* p = as_port(self);
  BusyGuard guard(p->busy);
  if (!guard) return nullptr;
  if (!p->port) {
    PyErr_SetString(PyExc_ValueError, "discard on a closed port");
    return nullptr;
  }
  if (::tcflush(p->port->fd(), TCIFLUSH) != 0) {
    Failure failure;
    failure.code = Errc::Serial;
    failure.err = errno;
    failure.message = kernel_error_text(failure.err);
    return raise_failure(failure, nullptr);
  }
  Py_RETURN_NONE;
}

// The driver's overrun counts, (overrun, buf_overrun), or None where it keeps none.
PyObject* port_counters(PyObject* self, PyObject*) {
  PortObject* p = as_port(self);
  BusyGuard guard(p->busy);
  if (!guard) return nullptr;
  if (!p->port) {
    PyErr_SetString(PyExc_ValueError, "counters of a closed port");
    return nullptr;
  }
  const std::optional<LineCounters> counts = line_counters(p->port->fd());
  if (!counts) Py_RETURN_NONE;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts->overrun),
                       static_cast<unsigned long long>(counts->buf_overrun));
}

PyObject* port_close(PyObject* self, PyObject*) {
  PortObject* p = as_port(self);
  BusyGuard guard(p->busy);
  if (!guard) return nullptr;
  p->port.reset();
  Py_RETURN_NONE;
}

PyMethodDef port_methods[] = {
    {"read", port_read, METH_NOARGS,
     "read($self)\n--\n\nWaits up to the time-out for input and returns it; b'' if none came.\n"
     "OSError with the errno and the port's text when the line fails (a hang-up: EPIPE or EIO)."},
    {"fileno", port_fileno, METH_NOARGS, "fileno($self)\n--\n\nThe port's descriptor (non-blocking)."},
    {"discard_input", port_discard_input, METH_NOARGS,
     "discard_input($self)\n--\n\nDrops what the line received and was not read yet."},
    {"counters", port_counters, METH_NOARGS,
     "counters($self)\n--\n\nThe driver's receive overrun counts (overrun, buf_overrun), or None where it keeps "
     "none (a pseudo-terminal)."},
    {"close", port_close, METH_NOARGS, "close($self)\n--\n\nReleases the device."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot port_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(port_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(port_dealloc)},
    {Py_tp_methods, port_methods},
    {Py_tp_doc, const_cast<char*>("Port(path, baudrate=115200, timeout=0.1)\n--\n\n"
                                  "A serial device claimed and set up as SerialParser does.")},
    {0, nullptr},
};

PyType_Spec port_spec = {"vorn._native.Port", static_cast<int>(sizeof(PortObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, port_slots};

}  // namespace

PyObject* make_port_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &port_spec, nullptr); }

PyObject* set_line(PyObject*, PyObject* args) {
  int fd = -1;
  long long baud = 0;
  if (!PyArg_ParseTuple(args, "iL:set_line", &fd, &baud)) return nullptr;
  if (baud <= 0 || baud > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "baudrate out of range");
    return nullptr;
  }
  const auto rate = static_cast<std::uint32_t>(baud);
  Result<LineSpeeds> speeds = Failure::os("");
  Py_BEGIN_ALLOW_THREADS speeds = vorn::set_line(fd, rate);
  Py_END_ALLOW_THREADS if (!speeds) return raise_failure(speeds.error(), nullptr);
  const LineSpeeds got = speeds.value();
  const bool taken = speed_is_close_enough(rate, got.input) && speed_is_close_enough(rate, got.output);
  return Py_BuildValue("(kkO)", static_cast<unsigned long>(got.input), static_cast<unsigned long>(got.output),
                       taken ? Py_True : Py_False);
}

}  // namespace vorn::tools
