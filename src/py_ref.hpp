// PyRef: the module's one owned-reference type, and PythonError: the marker thrown while
// binding arguments when a Python exception is already set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vexa {

// Thrown when the current Python exception already says what went wrong.
struct PythonError {};

// Throws PythonError when a C API call signalled failure by returning NULL.
inline PyObject *require(PyObject *result) {
  if (result == nullptr) {
    throw PythonError{};
  }
  return result;
}

// Throws PythonError when a C API call signalled failure by returning -1.
template <typename Int> Int require_status(Int status) {
  if (status == -1 && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return status;
}

// Owns one strong reference (or none); move-only.
class PyRef {
public:
  PyRef() = default;
  // Takes over a new reference (the caller's reference is consumed).
  static PyRef steal(PyObject *object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject *object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  // Takes over a new reference, throwing PythonError when it is NULL.
  static PyRef checked(PyObject *object) { return PyRef(require(object)); }

  PyRef(PyRef &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef &operator=(PyRef &&other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef &) = delete;
  PyRef &operator=(const PyRef &) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference back to the caller, e.g. as a function's return value.
  PyObject *release() { return std::exchange(object_, nullptr); }
  void swap(PyRef &other) noexcept { std::swap(object_, other.object_); }

private:
  explicit PyRef(PyObject *object) : object_(object) {}
  PyObject *object_ = nullptr;
};

} // namespace vexa
