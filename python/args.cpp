#include "python/args.hpp"

#include "python/numpy_api.hpp"

namespace qelvo::python {

namespace {

// The index of an integer-like object, or null with TypeError naming the argument.
PyRef index_of(PyObject* argument, const char* name) {
  if (!PyIndex_Check(argument)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be an integer, not %.200s", name, Py_TYPE(argument)->tp_name);
    return PyRef();
  }
  return PyRef(PyNumber_Index(argument));
}

}  // namespace

bool to_unsigned(PyObject* argument, const char* name, std::uint64_t max, std::uint64_t& out) {
  const PyRef index = index_of(argument, name);
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  const bool failed = value == static_cast<unsigned long long>(-1) && PyErr_Occurred();
  if (failed && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
  if (failed || value > max) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "argument '%s' is outside 0..=%llu", name, static_cast<unsigned long long>(max));
    return false;
  }
  out = value;
  return true;
}

bool to_int32(PyObject* argument, const char* name, std::int32_t& out) {
  const PyRef index = index_of(argument, name);
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s' does not fit a signed 32-bit integer", name);
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool to_bool(PyObject* argument, const char* name, bool& out) {
  if (PyBool_Check(argument)) {
    out = argument == Py_True;
    return true;
  }
  if (!ensure_numpy()) return false;
  if (PyArray_IsScalar(argument, Bool)) {
    out = PyArrayScalar_VAL(argument, Bool) != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s' must be a bool, not %.200s", name, Py_TYPE(argument)->tp_name);
  return false;
}

bool to_bytes(PyObject* argument, const char* name, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(argument)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bytes, not %.200s", name, Py_TYPE(argument)->tp_name);
    return false;
  }
  out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(argument)),
         static_cast<std::size_t>(PyBytes_GET_SIZE(argument))};
  return true;
}

PyObject* raise_codec_error(const codec::Error& error) {
  const std::string text = error.display();
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return nullptr;
}

PyObject* raise_internal_error(const char* what) {
  // Created on first use and kept for the life of the process; deliberately not a module attribute.
  static PyObject* internal_type =
      PyErr_NewExceptionWithDoc("qelvo.InternalError", "A broken internal invariant of Qelvo.", PyExc_BaseException,
                                nullptr);
  if (internal_type == nullptr) return nullptr;
  PyErr_Format(internal_type, "internal error: %s", what);
  return nullptr;
}

}  // namespace qelvo::python
