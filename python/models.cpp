#include "python/models.hpp"

#include "python/args.hpp"

namespace qelvo::python {
namespace {

PyTypeObject* models_type = nullptr;

PyObject* models_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"model_2d", "model_3d", nullptr};
  PyObject* model_2d = nullptr;
  PyObject* model_3d = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Models", const_cast<char**>(keywords), &model_2d, &model_3d))
    return nullptr;
  std::span<const std::uint8_t> bytes_2d, bytes_3d;
  if (!to_bytes(model_2d, "model_2d", bytes_2d) || !to_bytes(model_3d, "model_3d", bytes_3d)) return nullptr;
  auto parsed_2d = codec::Model::from_bytes(bytes_2d);
  if (!parsed_2d) return raise_codec_error(parsed_2d.error());
  auto parsed_3d = codec::Model::from_bytes(bytes_3d);
  if (!parsed_3d) return raise_codec_error(parsed_3d.error());
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  reinterpret_cast<PyModels*>(self.get())->pair = new codec::ModelSet{std::move(*parsed_2d), std::move(*parsed_3d)};
  return self.release();
}

void models_dealloc(PyObject* self) {
  delete reinterpret_cast<PyModels*>(self)->pair;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* models_ids(PyObject* self, void*) {
  const codec::ModelSet& pair = *reinterpret_cast<PyModels*>(self)->pair;
  return Py_BuildValue("(ss)", pair.model_2d.id.text().c_str(), pair.model_3d.id.text().c_str());
}

PyObject* models_repr(PyObject* self) {
  const codec::ModelSet& pair = *reinterpret_cast<PyModels*>(self)->pair;
  const std::string text = "Models(2d=" + pair.model_2d.name + ", 3d=" + pair.model_3d.name + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef models_getset[] = {
    {"ids", models_ids, nullptr, "Identifiers of the 2-D and 3-D models.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot models_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<models_new, PyTypeObject*, PyObject*, PyObject*>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(models_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<models_repr, PyObject*>)},
    {Py_tp_getset, models_getset},
    {Py_tp_doc, const_cast<char*>("Models(model_2d, model_3d)\n--\n\nA pair of predictor models (2-D and 3-D).")},
    {0, nullptr},
};

PyType_Spec models_spec = {"qelvo.Models", sizeof(PyModels), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                           models_slots};

PyObject* name_and_id(const codec::Model& model) {
  return Py_BuildValue("(ss)", model.name.c_str(), model.id.text().c_str());
}

}  // namespace

int add_models_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&models_spec);
  if (type == nullptr) return -1;
  models_type = reinterpret_cast<PyTypeObject*>(type);
  Py_INCREF(type);  // one reference stays with models_type for the life of the process
  if (PyModule_AddObject(module, "Models", type) != 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
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

codec::ModelSet chosen_pair(const PyModels* models) {
  return models != nullptr ? *models->pair : codec::ModelSet::builtin();
}

std::vector<codec::Model> registry(const PyModels* models) {
  const codec::ModelSet& builtin = codec::ModelSet::builtin();
  std::vector<codec::Model> list = {builtin.model_2d, builtin.model_3d};
  if (models != nullptr) {
    list.push_back(models->pair->model_2d);
    list.push_back(models->pair->model_3d);
  }
  return list;
}

PyObject* builtin_models(PyObject*, PyObject*) {
  const codec::ModelSet& builtin = codec::ModelSet::builtin();
  PyRef result(PyDict_New());
  if (!result) return nullptr;
  for (auto [key, model] : {std::pair{"2d", &builtin.model_2d}, std::pair{"3d", &builtin.model_3d}}) {
    PyRef entry(name_and_id(*model));
    if (!entry || PyDict_SetItemString(result.get(), key, entry.get()) != 0) return nullptr;
  }
  return result.release();
}

}  // namespace qelvo::python
