#pragma once
// Data sets come little or big endian (the file meta group is always little endian). Big-endian
// fields are read here, beside the shared little-endian helper; never through pointer casts.
#include <concepts>
#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"

namespace qelvo::dicom {

template <std::unsigned_integral T>
T load_be(const std::uint8_t* p) {
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p[i]);
  return v;
}

template <std::unsigned_integral T>
T load(const std::uint8_t* p, bool big_endian) {
  return big_endian ? load_be<T>(p) : load_le<T>(p);
}

}  // namespace qelvo::dicom
