#include "python/dicom.hpp"

#include <string>
#include <vector>

#include "archive/format.hpp"
#include "archive/pack.hpp"
#include "python/args.hpp"
#include "python/models.hpp"

namespace qelvo::python {
namespace {

struct InputFile {
  std::string name;
  std::vector<std::uint8_t> contents;
};

PyObject* raise_archive_error(const archive::Error& error) {
  const std::string text = error.display();
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return nullptr;
}

PyObject* report_dict(const archive::PackReport& report) {
  PyRef result(PyDict_New());
  if (!result) return nullptr;
  const std::pair<const char*, std::uint64_t> counts[] = {
      {"instances", report.instances},       {"coded", report.coded},
      {"stacks", report.stacks},             {"input_bytes", report.input_bytes},
      {"output_bytes", report.output_bytes}, {"stack_bytes", report.stack_bytes},
      {"metadata_bytes", report.metadata_bytes}, {"stored_bytes", report.stored_bytes},
  };
  for (const auto& [key, value] : counts) {
    PyRef number(PyLong_FromUnsignedLongLong(value));
    if (!number || PyDict_SetItemString(result.get(), key, number.get()) != 0) return nullptr;
  }
  PyRef stored(PyDict_New());
  if (!stored) return nullptr;
  for (const auto& [reason, count] : report.stored) {
    const std::string key = reason.debug();
    PyRef name(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
    PyRef number(PyLong_FromUnsignedLongLong(count));
    if (!name || !number || PyDict_SetItem(stored.get(), name.get(), number.get()) != 0) return nullptr;
  }
  if (PyDict_SetItemString(result.get(), "stored", stored.get()) != 0) return nullptr;
  return result.release();
}

PyObject* restored_list(const archive::Archive& opened, std::vector<std::vector<std::uint8_t>>& files) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(files.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& name = opened.instances()[i].name;
    // Built from its parts: an empty file has no data pointer, which "y#" would turn into None.
    PyRef text(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    PyRef contents(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(files[i].data()),
                                             static_cast<Py_ssize_t>(files[i].size())));
    if (!text || !contents) return nullptr;
    PyRef item(PyTuple_Pack(2, text.get(), contents.get()));
    if (!item) return nullptr;
    std::vector<std::uint8_t>().swap(files[i]);  // release each restored file once Python holds it
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

bool copy_contents(PyObject* item, std::vector<std::uint8_t>& out) {
  if (PyBytes_Check(item) || PyByteArray_Check(item)) {
    const char* data = PyBytes_Check(item) ? PyBytes_AS_STRING(item) : PyByteArray_AS_STRING(item);
    const Py_ssize_t size = PyBytes_Check(item) ? PyBytes_GET_SIZE(item) : PyByteArray_GET_SIZE(item);
    out.assign(data, data + size);
    return true;
  }
  if (PyUnicode_Check(item) || !PySequence_Check(item)) {
    PyErr_Format(PyExc_TypeError, "argument 'files': file contents must be bytes or a sequence of integers 0..255, not %.200s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  PyRef sequence(PySequence_Fast(item, "argument 'files': file contents must be a sequence"));
  if (!sequence) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    std::uint8_t byte = 0;
    if (!to_unsigned(PySequence_Fast_GET_ITEM(sequence.get(), i), "files", byte)) return false;
    out.push_back(byte);
  }
  return true;
}

// Copies every (name, bytes) pair, in order, before any packing starts.
bool copy_files(PyObject* files, std::vector<InputFile>& out) {
  if (PyUnicode_Check(files)) {
    PyErr_SetString(PyExc_TypeError, "argument 'files': a string is not taken as a sequence of files");
    return false;
  }
  if (!PySequence_Check(files)) {
    PyErr_Format(PyExc_TypeError, "argument 'files' must be a sequence of (name, bytes) pairs, not %.200s",
                 Py_TYPE(files)->tp_name);
    return false;
  }
  PyRef iterator(PyObject_GetIter(files));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!PyTuple_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "argument 'files': each item must be a (name, bytes) tuple, not %.200s",
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    if (PyTuple_GET_SIZE(item.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "argument 'files': each item must be a tuple of 2 elements, not %zd",
                   PyTuple_GET_SIZE(item.get()));
      return false;
    }
    PyObject* name = PyTuple_GET_ITEM(item.get(), 0);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "argument 'files': a file name must be a str, not %.200s", Py_TYPE(name)->tp_name);
      return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) return false;
    InputFile file{std::string(text, static_cast<std::size_t>(length)), {}};
    if (!copy_contents(PyTuple_GET_ITEM(item.get(), 1), file.contents)) return false;
    out.push_back(std::move(file));
  }
  return !PyErr_Occurred();
}

}  // namespace

PyObject* pack_dicom(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"files", "zstd_level", "models", nullptr};
  PyObject* files = nullptr;
  PyObject* level_argument = nullptr;
  PyObject* models_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:pack_dicom", const_cast<char**>(keywords), &files,
                                   &level_argument, &models_argument))
    return nullptr;
  std::vector<InputFile> inputs;
  if (!copy_files(files, inputs)) return nullptr;
  std::int32_t zstd_level = 19;
  if (level_argument != nullptr && !to_int32(level_argument, "zstd_level", zstd_level)) return nullptr;
  PyModels* models = nullptr;
  if (!to_models(models_argument, "models", models)) return nullptr;
  codec::ModelSet pair = chosen_pair(models);
  const archive::PackOptions options{{std::nullopt, std::move(pair.model_2d), std::move(pair.model_3d), 32, 512, true},
                                     zstd_level};
  auto packed = without_gil([&] {
    std::vector<archive::InputFile> files;
    files.reserve(inputs.size());
    for (const InputFile& input : inputs) files.push_back({input.name, input.contents});
    auto result = archive::pack(files, options);
    std::vector<InputFile>().swap(inputs);
    return result;
  });
  if (!packed) return raise_archive_error(packed.error());
  PyRef report(report_dict(packed->second));
  if (!report) return nullptr;
  const std::vector<std::uint8_t>& bytes = packed->first;
  return Py_BuildValue("(y#O)", reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()),
                       report.get());
}

PyObject* unpack_dicom(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "models", nullptr};
  PyObject* data_argument = nullptr;
  PyObject* models_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:unpack_dicom", const_cast<char**>(keywords), &data_argument,
                                   &models_argument))
    return nullptr;
  std::span<const std::uint8_t> data;
  if (!to_bytes(data_argument, "data", data)) return nullptr;
  PyModels* models = nullptr;
  if (!to_models(models_argument, "models", models)) return nullptr;
  const codec::ModelRegistry models_by_id(registry(models));
  std::optional<archive::Archive> opened;
  // `data_argument` keeps the archive bytes alive while they are read in place without the lock.
  auto files = without_gil([&]() -> std::expected<std::vector<std::vector<std::uint8_t>>, archive::Error> {
    auto archive = archive::Archive::open(data);
    if (!archive) return std::unexpected(archive.error());
    opened = std::move(*archive);
    return opened->restore_all(models_by_id);
  });
  if (!files) return raise_archive_error(files.error());
  return restored_list(*opened, *files);
}

}  // namespace qelvo::python
