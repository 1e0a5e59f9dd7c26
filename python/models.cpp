#include "python/models.hpp"

#include "python/args.hpp"

namespace qelvo::python {

struct PyModels {
  PyObject_HEAD
};

namespace {

PyTypeObject* models_type = nullptr;

PyObject* models_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"model_2d", "model_3d", nullptr};
  PyObject* model_2d = nullptr;
  PyObject* model_3d = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Models", const_cast<char**>(keywords), &model_2d, &model_3d))
    return nullptr;
  std::span<const std::uint8_t> bytes_2d, bytes_3d;
  if (!to_bytes(model_2d, "model_2d", bytes_2d) || !to_bytes(model_3d, "model_3d", bytes_3d)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "model files cannot be read yet");
  return nullptr;
}

PyType_Slot models_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<models_new, PyTypeObject*, PyObject*, PyObject*>)},
    {Py_tp_doc, const_cast<char*>("Models(model_2d, model_3d)\n--\n\nA pair of predictor models (2-D and 3-D).")},
    {0, nullptr},
};

PyType_Spec models_spec = {"qelvo.Models", sizeof(PyModels), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                           models_slots};

}  // namespace

int add_models_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&models_spec);
  if (type == nullptr) return -1;
  models_type = reinterpret_cast<PyTypeObject*>(type);
  Py_INCREF(type);  // one reference stays with models_type for the life of the process
  return PyModule_AddObject(module, "Models", type) == 0 ? 0 : (Py_DECREF(type), -1);
}

bool to_models(PyObject* argument, const char* name, PyModels*& out) {
  out = nullptr;
  if (!given(argument)) return true;
  if (models_type == nullptr || !PyObject_TypeCheck(argument, models_type)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a qelvo.Models instance, not %.200s", name,
                 Py_TYPE(argument)->tp_name);
    return false;
  }
  out = reinterpret_cast<PyModels*>(argument);
  return true;
}

PyObject* builtin_models(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "the built-in models are not available yet");
  return nullptr;
}

}  // namespace qelvo::python
