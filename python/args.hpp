#pragma once
// Argument conversion shared by every function of the module. Each converter returns false
// with a Python exception set; the message names the argument.
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>

#include "codec/error.hpp"
#include "common/internal_error.hpp"
#include "python/py_ref.hpp"

namespace qelvo::python {

// A missing keyword argument and None both mean "not given".
inline bool given(PyObject* argument) { return argument != nullptr && argument != Py_None; }

// Any object with __index__; TypeError for others, OverflowError outside 0..=max.
bool to_unsigned(PyObject* argument, const char* name, std::uint64_t max, std::uint64_t& out);

template <typename T>
bool to_unsigned(PyObject* argument, const char* name, T& out) {
  std::uint64_t wide = 0;
  if (!to_unsigned(argument, name, std::numeric_limits<T>::max(), wide)) return false;
  out = static_cast<T>(wide);
  return true;
}

template <typename T>
bool to_optional_unsigned(PyObject* argument, const char* name, std::optional<T>& out) {
  if (!given(argument)) return true;
  T value{};
  if (!to_unsigned(argument, name, value)) return false;
  out = value;
  return true;
}

// Any object with __index__ that fits a signed 32-bit value.
bool to_int32(PyObject* argument, const char* name, std::int32_t& out);

// Only a Python bool or a NumPy boolean scalar.
bool to_bool(PyObject* argument, const char* name, bool& out);

// Only bytes (or a subclass); the span points into the object, which the caller keeps alive.
bool to_bytes(PyObject* argument, const char* name, std::span<const std::uint8_t>& out);

// Codec failures become ValueError with the error's display text.
PyObject* raise_codec_error(const codec::Error& error);

// A broken internal invariant: an exception derived from BaseException, outside the module's names.
PyObject* raise_internal_error(const char* what);

// Runs a module function; an internal failure never escapes into the interpreter.
template <auto Function, typename... Args>
PyObject* guarded(Args... args) {
  try {
    return Function(args...);
  } catch (const InternalError& failure) {
    return raise_internal_error(failure.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace qelvo::python
