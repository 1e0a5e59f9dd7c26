#include "codec/packing.hpp"

#include <algorithm>
#include <array>

#include "entropy/range_coder.hpp"

namespace qelvo::codec {
namespace {

constexpr std::int32_t kMinPackedSpan = 64;  // spans of 63 or less are never packed
constexpr std::uint32_t kSpanBits = 17;
constexpr std::uint32_t kMaxSpan = 65536;
constexpr std::uint32_t kEvenPrior = 16384;

// The presence bit of offset j is coded in the context of the bits of j - 2 and j - 1.
using PresenceContexts = std::array<entropy::BitContext, 4>;

PresenceContexts fresh_contexts() {
  PresenceContexts contexts;
  contexts.fill(entropy::BitContext::from_prior(kEvenPrior));
  return contexts;
}

unsigned next_context(unsigned context, bool bit) { return 2 * (context % 2) + (bit ? 1 : 0); }

}  // namespace

MappedSamples map_values(std::span<const std::int32_t> samples, bool packing) {
  const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
  const std::int32_t lo = *low, span = *high - *low;
  MappedSamples result;
  result.mapping.base = lo;
  result.codes.resize(samples.size());

  std::vector<std::uint8_t> present(static_cast<std::size_t>(span) + 1, 0);
  for (std::int32_t v : samples) present[static_cast<std::size_t>(v - lo)] = 1;
  const std::int64_t distinct = std::count(present.begin(), present.end(), 1);
  const bool use_table = span >= kMinPackedSpan && packing && 4 * distinct < 3 * (std::int64_t{span} + 1);
  if (!use_table) {
    result.mapping.max_code = span;
    std::transform(samples.begin(), samples.end(), result.codes.begin(), [lo](std::int32_t v) { return v - lo; });
    return result;
  }
  std::vector<std::int32_t> table, code_of_offset(present.size(), -1);
  table.reserve(static_cast<std::size_t>(distinct));
  for (std::size_t offset = 0; offset < present.size(); ++offset)
    if (present[offset]) {
      code_of_offset[offset] = static_cast<std::int32_t>(table.size());
      table.push_back(static_cast<std::int32_t>(offset));
    }
  std::transform(samples.begin(), samples.end(), result.codes.begin(),
                 [&](std::int32_t v) { return code_of_offset[static_cast<std::size_t>(v - lo)]; });
  result.mapping.max_code = static_cast<std::int32_t>(table.size()) - 1;
  result.mapping.table = std::move(table);
  return result;
}

std::vector<std::uint8_t> write_packing_stream(const std::vector<std::int32_t>& table) {
  const std::int32_t span = table.back();
  entropy::Encoder encoder(64);
  encoder.encode_bypass(static_cast<std::uint32_t>(span), kSpanBits);
  PresenceContexts contexts = fresh_contexts();
  unsigned context = 0;
  auto next = table.begin();
  for (std::int32_t offset = 0; offset <= span; ++offset) {
    const bool bit = *next == offset;
    if (bit) ++next;
    encoder.encode_bit(contexts[context], bit);
    context = next_context(context, bit);
  }
  return std::move(encoder).finish();
}

std::expected<ValueMapping, Error> read_mapping(std::span<const std::uint8_t> packing_stream, std::int32_t base,
                                                std::int32_t max_code) {
  ValueMapping mapping{std::nullopt, base, max_code};
  if (packing_stream.empty()) return mapping;
  entropy::Decoder decoder(packing_stream);
  const std::uint32_t span = decoder.decode_bypass(kSpanBits);
  if (span > kMaxSpan) return std::unexpected(Error::corrupt("packing table span out of range"));
  PresenceContexts contexts = fresh_contexts();
  unsigned context = 0;
  std::vector<std::int32_t> table;
  for (std::uint32_t offset = 0; offset <= span; ++offset) {
    const bool bit = decoder.decode_bit(contexts[context]);
    if (bit) table.push_back(static_cast<std::int32_t>(offset));
    context = next_context(context, bit);
  }
  if (decoder.overrun() != 0 || decoder.position() != packing_stream.size())
    return std::unexpected(Error::corrupt("packing table stream"));
  if (table.size() != static_cast<std::size_t>(max_code) + 1 || table.front() != 0 ||
      table.back() != static_cast<std::int32_t>(span))
    return std::unexpected(Error::corrupt("packing table does not match the header"));
  mapping.table = std::move(table);
  return mapping;
}

}  // namespace qelvo::codec
