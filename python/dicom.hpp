#pragma once
#include "python/py_ref.hpp"

namespace qelvo::python {

PyObject* pack_dicom(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* unpack_dicom(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace qelvo::python
