#include "codec/volume.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "common/internal_error.hpp"

namespace qelvo::codec {
namespace {

// Fingerprints convert samples to their 16-bit form in chunks, so scratch memory stays bounded.
constexpr std::size_t kChunk = 4096;
using Chunk = std::array<std::uint8_t, 2 * kChunk>;

void to_sample_form(std::span<const std::int32_t> values, std::uint8_t* out) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto v = static_cast<std::uint32_t>(values[i]);
    out[2 * i] = static_cast<std::uint8_t>(v);
    out[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
  }
}

bool product_fits(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& product) {
  std::uint64_t ab = 0;
  return !__builtin_mul_overflow(a, b, &ab) && !__builtin_mul_overflow(ab, c, &product);
}

}  // namespace

SampleRange sample_range(std::uint8_t bits, bool is_signed) {
  if (is_signed) return {-(std::int64_t{1} << (bits - 1)), (std::int64_t{1} << (bits - 1)) - 1};
  return {0, (std::int64_t{1} << bits) - 1};
}

std::expected<Volume, Error> Volume::create(std::uint64_t slices, std::uint64_t rows, std::uint64_t columns,
                                            std::uint8_t bits, bool is_signed, std::vector<std::int32_t> samples) {
  if (slices == 0 || rows == 0 || columns == 0) return std::unexpected(Error::invalid_volume("empty dimension"));
  if (bits < 1 || bits > kMaxBits)
    return std::unexpected(
        Error::invalid_volume(std::to_string(bits) + " bits per sample; 1 to " + std::to_string(kMaxBits) + " are supported"));
  std::uint64_t count = 0;
  if (!product_fits(slices, rows, columns, count) || count != samples.size())
    return std::unexpected(Error::invalid_volume(
        std::to_string(samples.size()) + " samples for " + std::to_string(slices) + "\u00d7" +
        std::to_string(rows) + "\u00d7" + std::to_string(columns)));
  const SampleRange range = sample_range(bits, is_signed);
  const auto bad = std::find_if(samples.begin(), samples.end(),
                                [&](std::int32_t v) { return v < range.lo || v > range.hi; });
  if (bad != samples.end())
    return std::unexpected(
        Error::invalid_volume("value " + std::to_string(*bad) + " outside [" + std::to_string(range.lo) + ", " +
                             std::to_string(range.hi) + "]"));
  return Volume{std::move(samples), slices, rows, columns, is_signed, bits};
}

Digest Volume::sha256() const {
  Sha256 hash;
  Chunk scratch;
  const std::span<const std::int32_t> all(samples);
  for (std::size_t start = 0; start < all.size(); start += kChunk) {
    const auto chunk = all.subspan(start, std::min(kChunk, all.size() - start));
    to_sample_form(chunk, scratch.data());
    hash.update({scratch.data(), 2 * chunk.size()});
  }
  return hash.finish();
}

std::uint32_t crc_of_samples(std::span<const std::int32_t> codes, const ValueMapping& mapping) {
  std::array<std::int32_t, kChunk> values;
  Chunk scratch;
  std::uint32_t crc = 0;
  for (std::size_t start = 0; start < codes.size(); start += kChunk) {
    const auto chunk = codes.subspan(start, std::min(kChunk, codes.size() - start));
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      const std::int32_t c = chunk[i];
      if (mapping.table && (c < 0 || static_cast<std::size_t>(c) >= mapping.table->size()))
        internal_error("code outside the packing table");
      values[i] = mapping.value_of(c);
    }
    to_sample_form({values.data(), chunk.size()}, scratch.data());
    crc = crc32c({scratch.data(), 2 * chunk.size()}, crc);
  }
  return crc;
}

}  // namespace qelvo::codec
