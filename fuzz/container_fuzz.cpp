// Any bytes as a container: the header check, then the whole decode. A container that parses
// and decodes must decode to the same volume twice and to the same volume with more threads.
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/codec.hpp"
#include "codec/container.hpp"
#include "fuzz/fuzz_support.hpp"

// Bounds the output: a mutated stream of a few hundred bytes may stand for millions of samples,
// and each decode of them under the sanitizers takes seconds.
constexpr std::uint64_t kMaxSamples = std::uint64_t{1} << 20;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto header = codec::Header::parse(bytes, kMaxSamples);
  if (!header) return 0;
  const auto one = codec::decode(bytes, {1, &fuzz::builtin_registry(), kMaxSamples, true});
  const auto two = codec::decode(bytes, {2, &fuzz::builtin_registry(), kMaxSamples, true});
  fuzz::require(one.has_value() == two.has_value(), "decoding does not depend on the thread count");
  if (one) {
    fuzz::require(one->samples == two->samples, "decoded samples do not depend on the thread count");
    fuzz::require(one->samples.size() == header->sample_count(), "a decoded volume has the declared size");
  } else {
    fuzz::require(one.error() == two.error(), "the reported fault does not depend on the thread count");
  }
  return 0;
}
