#pragma once
// NumPy's C API, built against NumPy 2 headers so the module runs on NumPy 1 and 2. The API
// table is imported on first use (arrays.cpp owns it).
#include "python/py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL qelvo_numpy_api
#ifndef QELVO_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace qelvo::python {

// Imports the NumPy API table once; false with a Python exception set when NumPy is unusable.
bool ensure_numpy();

}  // namespace qelvo::python
