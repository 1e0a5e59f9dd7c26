#pragma once
// The Models class (a pair of predictor models) and builtin_models().
#include <vector>

#include "codec/model.hpp"
#include "python/py_ref.hpp"

namespace qelvo::python {

struct PyModels {
  PyObject_HEAD
  codec::ModelSet* pair;  // owned: the 2-D model first, the 3-D model second
};

// Creates the heap type and adds it to the module as "Models"; -1 with an exception on failure.
int add_models_type(PyObject* module);

// None (or a missing argument) leaves `out` null; a Models instance sets it; anything else
// raises TypeError naming the argument.
bool to_models(PyObject* argument, const char* name, PyModels*& out);

// Copies of the given pair, or of the built-in pair when `models` is null.
codec::ModelSet chosen_pair(const PyModels* models);

// The models a container may name: the built-in pair, then the given pair when there is one.
std::vector<codec::Model> registry(const PyModels* models);

PyObject* builtin_models(PyObject* module, PyObject* unused);

}  // namespace qelvo::python
