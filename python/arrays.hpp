#pragma once
// Conversion between NumPy arrays and volumes, with the interpreter lock held.
#include <cstdint>
#include <optional>

#include "codec/volume.hpp"
#include "python/py_ref.hpp"

namespace qelvo::python {

// The array's elements in logical C order as a validated volume; nullopt with a Python
// exception set on failure.
std::optional<codec::Volume> to_volume(PyObject* array, std::optional<std::uint8_t> bits);

// A new C-contiguous (slices, rows, columns) array of the narrowest dtype holding the volume.
PyObject* volume_to_array(const codec::Volume& volume);

}  // namespace qelvo::python
