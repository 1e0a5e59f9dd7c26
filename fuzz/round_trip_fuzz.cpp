// Any bytes as a small volume: the first bytes choose the format, shape, tiling and packing,
// the rest give the samples. Every such volume must code to the same container whatever the
// thread count and decode to itself.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/codec.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

constexpr std::size_t kShapeBytes = 7;

struct Shaped {
  qelvo::codec::Volume volume;
  std::uint16_t slab;
  std::uint16_t stripe;
  bool packing;
};

Shaped shape(std::span<const std::uint8_t> bytes) {
  const std::uint8_t bits = static_cast<std::uint8_t>(bytes[0] % qelvo::codec::kMaxBits + 1);
  const bool is_signed = bytes[1] & 1, packing = bytes[1] & 2;
  const std::uint64_t slices = bytes[2] % 5 + 1, rows = bytes[3] % 24 + 1, columns = bytes[4] % 24 + 1;
  const auto slab = static_cast<std::uint16_t>(bytes[5] % 4 + 1), stripe = static_cast<std::uint16_t>(bytes[6] % 24 + 1);

  // Samples from two bytes each, folded into the format's range; missing bytes read as zero.
  const auto range = qelvo::codec::sample_range(bits, is_signed);
  const auto range_size = static_cast<std::uint64_t>(range.hi - range.lo + 1);
  const std::span<const std::uint8_t> values = bytes.subspan(kShapeBytes);
  std::vector<std::int32_t> samples(slices * rows * columns);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint64_t raw = 0;
    if (2 * i + 1 < values.size()) raw = values[2 * i] | std::uint64_t{values[2 * i + 1]} << 8;
    samples[i] = static_cast<std::int32_t>(range.lo + static_cast<std::int64_t>(raw % range_size));
  }
  auto volume = qelvo::codec::Volume::create(slices, rows, columns, bits, is_signed, std::move(samples));
  qelvo::fuzz::require(volume.has_value(), "the fuzz volume is valid");
  return {std::move(*volume), slab, stripe, packing};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  if (size < kShapeBytes) return 0;
  const Shaped shaped = shape(std::span<const std::uint8_t>(data, size));
  const codec::ModelSet& builtin = codec::ModelSet::builtin();
  codec::EncodeOptions options{1, builtin.model_2d, builtin.model_3d, shaped.slab, shaped.stripe, shaped.packing};
  const auto one = codec::encode_with_metadata(shaped.volume, {}, options);
  options.threads = 2;
  const auto two = codec::encode_with_metadata(shaped.volume, {}, options);
  fuzz::require(one.has_value() && two.has_value(), "every valid volume encodes");
  fuzz::require(*one == *two, "the container does not depend on the thread count");

  const auto decoded = codec::decode(*one, {1, &fuzz::builtin_registry(), std::uint64_t{1} << 20, true});
  fuzz::require(decoded.has_value(), "every container the encoder writes decodes");
  fuzz::require(decoded->samples == shaped.volume.samples && decoded->bits == shaped.volume.bits &&
                    decoded->is_signed == shaped.volume.is_signed,
                "the volume comes back exactly");
  return 0;
}
