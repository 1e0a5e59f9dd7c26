#pragma once
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "codec/checksum.hpp"
#include "codec/error.hpp"
#include "codec/packing.hpp"

namespace qelvo::codec {

inline constexpr std::uint8_t kMaxBits = 16;

// The inclusive range of sample values a format allows.
struct SampleRange {
  std::int64_t lo;
  std::int64_t hi;
};
SampleRange sample_range(std::uint8_t bits, bool is_signed);

// Integer samples, slice-major: (z, y, x) is at (z * rows + y) * columns + x.
// Built only through `create`, which establishes every invariant the codec relies on.
struct Volume {
  std::vector<std::int32_t> samples;
  std::uint64_t slices = 0;
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  bool is_signed = false;
  std::uint8_t bits = 0;

  static std::expected<Volume, Error> create(std::uint64_t slices, std::uint64_t rows, std::uint64_t columns,
                                             std::uint8_t bits, bool is_signed, std::vector<std::int32_t> samples);

  // SHA-256 of the samples in the 16-bit sample form (low 16 bits, least significant byte first).
  Digest sha256() const;
};

// CRC-32C of the values that `codes` stand for under `mapping`, each in the 16-bit sample form.
std::uint32_t crc_of_samples(std::span<const std::int32_t> codes, const ValueMapping& mapping);

}  // namespace qelvo::codec
