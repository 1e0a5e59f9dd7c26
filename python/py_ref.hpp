#pragma once
// Small RAII helpers over the CPython C API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qelvo::python {

// An owned reference; releases it on scope exit unless handed over with `release`.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for the scope and takes it back on every exit path,
// exceptions included, so errors are always raised with the lock held.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

template <typename F>
auto without_gil(F&& work) {
  GilRelease released;
  return std::forward<F>(work)();
}

}  // namespace qelvo::python
