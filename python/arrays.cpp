#define QELVO_NUMPY_API_OWNER
#include "python/arrays.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "python/args.hpp"
#include "python/numpy_api.hpp"

namespace qelvo::python {

bool ensure_numpy() { return PyArray_ImportNumPyAPI() == 0; }

namespace {

struct SampleType {
  int type_number;
  bool is_signed;
  std::uint8_t bits;
};

// Tried in this order; the first equivalent dtype wins.
constexpr SampleType kSampleTypes[] = {
    {NPY_UBYTE, false, 8}, {NPY_BYTE, true, 8}, {NPY_USHORT, false, 16}, {NPY_SHORT, true, 16}};

const SampleType* sample_type_of(PyArrayObject* array) {
  for (const SampleType& type : kSampleTypes) {
    PyArray_Descr* descr = PyArray_DescrFromType(type.type_number);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), descr);
    Py_DECREF(descr);
    if (equivalent) return &type;
  }
  return nullptr;
}

template <typename T>
void widen(PyArrayObject* array, std::vector<std::int32_t>& samples) {
  const int dims = PyArray_NDIM(array);
  const npy_intp* shape = PyArray_SHAPE(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  const npy_intp slices = dims == 3 ? shape[0] : 1;
  const npy_intp slice_stride = dims == 3 ? strides[0] : 0;
  const npy_intp rows = shape[dims - 2], columns = shape[dims - 1];
  const npy_intp row_stride = strides[dims - 2], column_stride = strides[dims - 1];
  const char* base = static_cast<const char*>(PyArray_DATA(array));
  for (npy_intp z = 0; z < slices; ++z)
    for (npy_intp y = 0; y < rows; ++y) {
      const char* row = base + z * slice_stride + y * row_stride;
      for (npy_intp x = 0; x < columns; ++x) {
        T value;
        std::memcpy(&value, row + x * column_stride, sizeof value);
        samples.push_back(value);
      }
    }
}

template <typename T>
PyObject* typed_array(const codec::Volume& volume, int type_number) {
  const std::size_t count = volume.samples.size();
  auto* buffer = static_cast<T*>(std::malloc(count * sizeof(T)));
  if (buffer == nullptr) return PyErr_NoMemory();
  for (std::size_t i = 0; i < count; ++i) buffer[i] = static_cast<T>(volume.samples[i]);
  // The capsule owns the buffer and frees it when the last array over it is gone.
  PyRef owner(PyCapsule_New(buffer, nullptr, [](PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, nullptr)); }));
  if (!owner) {
    std::free(buffer);
    return nullptr;
  }
  npy_intp length = static_cast<npy_intp>(count);
  PyRef flat(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number), 1, &length, nullptr, buffer,
                                  NPY_ARRAY_CARRAY, nullptr));
  if (!flat) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(flat.get()), owner.release()) != 0) return nullptr;
  npy_intp shape[3] = {static_cast<npy_intp>(volume.slices), static_cast<npy_intp>(volume.rows),
                       static_cast<npy_intp>(volume.columns)};
  PyArray_Dims dims = {shape, 3};
  return PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &dims, NPY_ANYORDER);
}

}  // namespace

std::optional<codec::Volume> to_volume(PyObject* object, std::optional<std::uint8_t> bits) {
  if (!ensure_numpy()) return std::nullopt;
  const SampleType* type = nullptr;
  if (PyArray_Check(object)) type = sample_type_of(reinterpret_cast<PyArrayObject*>(object));
  if (type == nullptr) {
    PyErr_SetString(PyExc_TypeError, "expected a NumPy array of uint8, int8, uint16 or int16");
    return std::nullopt;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const int dims = PyArray_NDIM(array);
  if (dims != 2 && dims != 3) {
    PyErr_SetString(PyExc_ValueError, "expected a 2-D (rows, columns) or 3-D (slices, rows, columns) array");
    return std::nullopt;
  }
  const npy_intp* shape = PyArray_SHAPE(array);
  std::vector<std::int32_t> samples;
  samples.reserve(static_cast<std::size_t>(PyArray_SIZE(array)));
  switch (type->type_number) {
    case NPY_UBYTE: widen<std::uint8_t>(array, samples); break;
    case NPY_BYTE: widen<std::int8_t>(array, samples); break;
    case NPY_USHORT: widen<std::uint16_t>(array, samples); break;
    default: widen<std::int16_t>(array, samples); break;
  }
  auto volume = codec::Volume::create(dims == 3 ? shape[0] : 1, shape[dims - 2], shape[dims - 1],
                                      bits.value_or(type->bits), type->is_signed, std::move(samples));
  if (!volume) {
    raise_codec_error(volume.error());
    return std::nullopt;
  }
  return std::move(*volume);
}

PyObject* volume_to_array(const codec::Volume& volume) {
  if (!ensure_numpy()) return nullptr;
  if (volume.bits > 8)
    return volume.is_signed ? typed_array<std::int16_t>(volume, NPY_SHORT) : typed_array<std::uint16_t>(volume, NPY_USHORT);
  return volume.is_signed ? typed_array<std::int8_t>(volume, NPY_BYTE) : typed_array<std::uint8_t>(volume, NPY_UBYTE);
}

}  // namespace qelvo::python
