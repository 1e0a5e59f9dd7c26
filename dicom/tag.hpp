#pragma once
#include <cstdint>
#include <string>

namespace qelvo::dicom {

struct Tag {
  std::uint16_t group = 0;
  std::uint16_t element = 0;

  // (GGGG,EEEE) in upper-case hexadecimal.
  std::string display() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "(";
    for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(group >> shift) & 15];
    text += ',';
    for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(element >> shift) & 15];
    return text + ")";
  }
  bool operator==(const Tag&) const = default;
};

}  // namespace qelvo::dicom
