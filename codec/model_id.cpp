#include "codec/model_id.hpp"

namespace qelvo::codec {

std::string hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 15]);
  }
  return text;
}

std::string ModelId::text() const { return hex(bytes.data(), bytes.size()); }

}  // namespace qelvo::codec
