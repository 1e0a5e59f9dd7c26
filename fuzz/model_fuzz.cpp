// Any bytes as a model file. A model that loads must code a small volume in its role and give
// it back exactly through a registry that holds it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/codec.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

qelvo::codec::Volume small_volume() {
  std::vector<std::int32_t> samples(2 * 9 * 7);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int32_t>((i * 37 + i / 7 * 11) % 4096);
  return *qelvo::codec::Volume::create(2, 9, 7, 12, false, std::move(samples));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  const auto model = codec::Model::from_bytes(std::span<const std::uint8_t>(data, size));
  if (!model) return 0;

  const codec::ModelSet& builtin = codec::ModelSet::builtin();
  codec::EncodeOptions options{1, builtin.model_2d, builtin.model_3d, 2, 4, true};
  (model->is_3d ? options.model_3d : options.model_2d) = *model;
  const codec::Volume volume = small_volume();
  const auto container = codec::encode_with_metadata(volume, {}, options);
  fuzz::require(container.has_value(), "a valid model codes a volume in its role");

  const codec::ModelRegistry registry({*model, builtin.model_2d, builtin.model_3d});
  const auto decoded = codec::decode(*container, {1, &registry, std::uint64_t{1} << 20, true});
  fuzz::require(decoded.has_value() && decoded->samples == volume.samples, "a valid model gives the volume back");
  return 0;
}
