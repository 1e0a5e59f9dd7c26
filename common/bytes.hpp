#pragma once
// Every binary format of the system is little endian. These two helpers are the only way fields
// are read and written: no pointer casts, no alignment assumptions.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelvo {

template <std::integral T>
T load_le(const std::uint8_t* p) {
  using U = std::make_unsigned_t<T>;
  U v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<U>(static_cast<U>(p[i]) << (8 * i));
  return static_cast<T>(v);
}

template <std::integral T>
void store_le(std::vector<std::uint8_t>& out, T value) {
  using U = std::make_unsigned_t<T>;
  const U v = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace qelvo
