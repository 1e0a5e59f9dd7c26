#pragma once
// The Models class (a pair of predictor models) and builtin_models().
#include "python/py_ref.hpp"

namespace qelvo::python {

struct PyModels;

// Creates the heap type and adds it to the module as "Models"; -1 with an exception on failure.
int add_models_type(PyObject* module);

// None (or a missing argument) leaves `out` null; a Models instance sets it; anything else
// raises TypeError naming the argument.
bool to_models(PyObject* argument, const char* name, PyModels*& out);

PyObject* builtin_models(PyObject* module, PyObject* unused);

}  // namespace qelvo::python
