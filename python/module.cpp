// The _qelvo extension module: its function table, the codec functions and module set-up.
#include <cstdint>
#include <limits>
#include <optional>

#include "codec/codec.hpp"
#include "codec/container.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/dicom.hpp"
#include "python/models.hpp"

namespace qelvo::python {
namespace {

constexpr char kVersion[] = "0.2.0";
// decode refuses containers of more samples than this (2^34).
constexpr std::uint64_t kDecodeSampleLimit = std::uint64_t{1} << 34;

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"array", "bits", "slab", "stripe", "packing", "metadata", "models", "threads",
                                   nullptr};
  PyObject* array = nullptr;
  PyObject *bits_argument = nullptr, *slab_argument = nullptr, *stripe_argument = nullptr,
           *packing_argument = nullptr, *metadata_argument = nullptr, *models_argument = nullptr,
           *threads_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOO:encode", const_cast<char**>(keywords), &array,
                                   &bits_argument, &slab_argument, &stripe_argument, &packing_argument,
                                   &metadata_argument, &models_argument, &threads_argument))
    return nullptr;
  std::optional<std::uint8_t> bits;
  std::uint16_t slab = 32, stripe = 512;
  bool packing = true;
  std::span<const std::uint8_t> metadata;
  PyModels* models = nullptr;
  std::optional<std::uint64_t> threads;
  if (!to_optional_unsigned(bits_argument, "bits", bits) ||
      (given(slab_argument) && !to_unsigned(slab_argument, "slab", slab)) ||
      (given(stripe_argument) && !to_unsigned(stripe_argument, "stripe", stripe)) ||
      (given(packing_argument) && !to_bool(packing_argument, "packing", packing)) ||
      (given(metadata_argument) && !to_bytes(metadata_argument, "metadata", metadata)) ||
      !to_models(models_argument, "models", models) || !to_optional_unsigned(threads_argument, "threads", threads))
    return nullptr;
  std::optional<codec::Volume> volume = to_volume(array, bits);
  if (!volume) return nullptr;
  codec::ModelSet pair = chosen_pair(models);
  const codec::EncodeOptions options{threads, std::move(pair.model_2d), std::move(pair.model_3d), slab, stripe, packing};
  const std::vector<std::uint8_t> owned_metadata(metadata.begin(), metadata.end());
  const auto container = without_gil([&] { return codec::encode_with_metadata(*volume, owned_metadata, options); });
  if (!container) return raise_codec_error(container.error());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(container->data()),
                                   static_cast<Py_ssize_t>(container->size()));
}

PyObject* decode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "models", "verify", "threads", nullptr};
  PyObject *data_argument = nullptr, *models_argument = nullptr, *verify_argument = nullptr,
           *threads_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:decode", const_cast<char**>(keywords), &data_argument,
                                   &models_argument, &verify_argument, &threads_argument))
    return nullptr;
  std::span<const std::uint8_t> data;
  PyModels* models = nullptr;
  bool verify = true;
  std::optional<std::uint64_t> threads;
  if (!to_bytes(data_argument, "data", data) || !to_models(models_argument, "models", models) ||
      (given(verify_argument) && !to_bool(verify_argument, "verify", verify)) ||
      !to_optional_unsigned(threads_argument, "threads", threads))
    return nullptr;
  const codec::ModelRegistry models_by_id(registry(models));
  const codec::DecodeOptions options{threads, &models_by_id, kDecodeSampleLimit, verify};
  // `data_argument` keeps the bytes alive while they are read in place without the lock.
  const auto volume = without_gil([&] { return codec::decode(data, options); });
  if (!volume) return raise_codec_error(volume.error());
  return volume_to_array(*volume);
}

// Inserts `value` (a new reference) under `key`; false with the exception set on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
  const PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* info(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:info", const_cast<char**>(keywords), &data_argument))
    return nullptr;
  std::span<const std::uint8_t> data;
  if (!to_bytes(data_argument, "data", data)) return nullptr;
  const auto header = codec::Header::parse(data, std::numeric_limits<std::uint64_t>::max());
  if (!header) return raise_codec_error(header.error());
  const codec::Header& h = *header;
  PyRef result(PyDict_New());
  const double bits_per_sample = 8.0 * static_cast<double>(data.size()) / static_cast<double>(h.sample_count());
  if (!result || !put(result.get(), "shape", Py_BuildValue("(kkk)", h.slices, h.rows, h.columns)) ||
      !put(result.get(), "bits", PyLong_FromLong(h.bits)) ||
      !put(result.get(), "signed", PyBool_FromLong(h.is_signed)) ||
      !put(result.get(), "histogram_packing", PyBool_FromLong(!h.packing_stream.empty())) ||
      !put(result.get(), "slab", PyLong_FromLong(h.slab)) || !put(result.get(), "stripe", PyLong_FromLong(h.stripe)) ||
      !put(result.get(), "tiles", PyLong_FromSize_t(h.tiles.size())) ||
      !put(result.get(), "model_2d", PyUnicode_FromString(h.model_2d.text().c_str())) ||
      !put(result.get(), "model_3d", PyUnicode_FromString(h.model_3d.text().c_str())) ||
      !put(result.get(), "sha256", PyUnicode_FromString(codec::hex(h.sha256.data(), h.sha256.size()).c_str())) ||
      !put(result.get(), "metadata",
           PyBytes_FromStringAndSize(reinterpret_cast<const char*>(h.metadata.data()),
                                     static_cast<Py_ssize_t>(h.metadata.size()))) ||
      !put(result.get(), "bits_per_sample", PyFloat_FromDouble(bits_per_sample)))
    return nullptr;
  return result.release();
}

using KeywordFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

template <KeywordFunction F>
PyCFunction keyword_entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F, PyObject*, PyObject*, PyObject*>));
}

PyMethodDef functions[] = {
    {"encode", keyword_entry<encode>(), METH_VARARGS | METH_KEYWORDS,
     "encode(array, *, bits=None, slab=32, stripe=512, packing=True, metadata=None, models=None, threads=None)\n--\n\n"
     "Compresses a volume (2-D or 3-D array of uint8, int8, uint16 or int16).\n\n"
     "`bits` declares the significant bits (default: the width of the dtype);\n"
     "`metadata` is stored verbatim in the container."},
    {"decode", keyword_entry<decode>(), METH_VARARGS | METH_KEYWORDS,
     "decode(data, *, models=None, verify=True, threads=None)\n--\n\n"
     "Decompresses a volume; returns a (slices, rows, columns) array."},
    {"info", keyword_entry<info>(), METH_VARARGS | METH_KEYWORDS,
     "info(data)\n--\n\nThe header of a container as a dict."},
    {"pack_dicom", keyword_entry<pack_dicom>(), METH_VARARGS | METH_KEYWORDS,
     "pack_dicom(files, *, zstd_level=19, models=None)\n--\n\n"
     "Packs DICOM files, given as (name, bytes) pairs, into a byte-exact\n"
     "archive. Returns (archive bytes, report dict)."},
    {"unpack_dicom", keyword_entry<unpack_dicom>(), METH_VARARGS | METH_KEYWORDS,
     "unpack_dicom(data, *, models=None)\n--\n\n"
     "Restores every file of an archive; returns a list of (name, bytes)."},
    {"builtin_models", guarded<builtin_models, PyObject*, PyObject*>, METH_NOARGS,
     "builtin_models()\n--\n\nIdentifiers and names of the built-in models."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (add_models_type(module) != 0) return -1;
  if (PyModule_AddFunctions(module, functions) != 0) return -1;
  return PyModule_AddStringConstant(module, "__version__", kVersion);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "_qelvo", "", 0, nullptr, slots, nullptr, nullptr,
                                 nullptr};

}  // namespace
}  // namespace qelvo::python

PyMODINIT_FUNC PyInit__qelvo() { return PyModuleDef_Init(&qelvo::python::module_definition); }
