#pragma once
#include <array>
#include <cstdint>
#include <string>

namespace qelvo::codec {

// A model is named by the first 16 bytes of the SHA-256 of its file.
struct ModelId {
  std::array<std::uint8_t, 16> bytes{};

  // 32 lower-case hexadecimal digits, two per byte, in byte order.
  std::string text() const;
  bool operator==(const ModelId&) const = default;
};

std::string hex(const std::uint8_t* data, std::size_t size);

}  // namespace qelvo::codec
