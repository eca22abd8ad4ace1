// The binding's one owning reference type. A Ref owns one strong reference
// (or nothing) and releases it on destruction; it is made from a raw pointer
// only through steal() (take over a new reference) or borrow() (add one), so
// each construction says who owns what and an early return cannot leak.
#pragma once

#include "compat.hpp"

#include <utility>

namespace vorn::py {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref& other) : p_(Py_XNewRef(other.p_)) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (which may be null after a failed call).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference on to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vorn::py
