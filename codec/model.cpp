#include "codec/model.hpp"

#include <cstring>
#include <mutex>

#include "codec/builtin_models.hpp"
#include "codec/checksum.hpp"
#include "codec/context.hpp"
#include "common/bytes.hpp"
#include "common/internal_error.hpp"

namespace qelvo::codec {
namespace {

constexpr std::uint8_t kModelMagic[4] = {'Q', 'V', 'M', '1'};
constexpr std::size_t kModelHeader = 9;
constexpr std::uint8_t kKind2d = 2, kKind3d = 3;
constexpr std::uint8_t kMaxHeadShift = 30;
constexpr std::size_t kMaxNameLength = 64;

std::unexpected<Error> model_error(const char* text) { return std::unexpected(Error::model(text)); }

bool valid_utf8(std::span<const std::uint8_t> text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::uint8_t lead = text[i];
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, code = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (text[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values above U+10FFFF are not UTF-8.
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

Priors Priors::uniform() {
  Priors priors;
  for (std::size_t t = 0; t < kTokenModels; ++t)
    for (std::size_t i = 0; i < kTokens; ++i) priors.values[t * kTokens + i] = static_cast<std::uint16_t>(2048 * i);
  std::fill(priors.values.begin() + kSignPriorsAt, priors.values.end(), 16384);
  return priors;
}

bool is_cumulative(std::span<const std::uint16_t, kTokens> cdf) {
  if (cdf[0] != 0 || cdf[kTokens - 1] > kProbabilityOne) return false;
  for (std::size_t i = 1; i < kTokens; ++i)
    if (cdf[i] < cdf[i - 1]) return false;
  return true;
}

std::optional<std::string> validate_priors(const Priors& priors) {
  for (std::size_t t = 0; t < kTokenModels; ++t)
    if (!is_cumulative(priors.token_cdf(t))) return "token priors are not a cumulative distribution";
  for (std::size_t i = kSignPriorsAt; i < kPriorCount; ++i)
    if (priors.values[i] < 1 || priors.values[i] > kProbabilityOne - 1) return "binary priors out of range";
  return std::nullopt;
}

std::expected<Model, Error> Model::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kModelHeader || std::memcmp(bytes.data(), kModelMagic, 4) != 0)
    return model_error("not a QVM1 model");
  const std::uint8_t kind = bytes[4], head_shift = bytes[5], name_length = bytes[8];
  if (kind != kKind2d && kind != kKind3d) return model_error("unknown model kind");
  if (head_shift == 0 || head_shift > kMaxHeadShift) return model_error("head shift out of range");
  if (bytes[6] != 0 || bytes[7] != 0) return model_error("unknown model flags");
  if (name_length > kMaxNameLength || bytes.size() < kModelHeader + name_length) return model_error("invalid model name");
  const auto name = bytes.subspan(kModelHeader, name_length);
  if (!valid_utf8(name)) return model_error("model name is not UTF-8");

  auto network = nn::Network::from_bytes(bytes.subspan(kModelHeader + name_length));
  if (!network) return std::unexpected(Error::model(network.error().display()));
  auto [net, consumed] = std::move(*network);
  const bool is_3d = kind == kKind3d;
  const std::size_t inputs = is_3d ? kFeatures3d : kFeatures2d;
  if (net.layers().front().in_width != inputs || net.layers().back().out_width != kOutputsPerSample)
    return model_error("network shape does not match the model kind");

  Priors priors = Priors::uniform();
  std::size_t at = kModelHeader + name_length + consumed;
  for (std::uint16_t& value : priors.values) {
    if (bytes.size() - at < 2) return model_error("truncated priors");
    value = load_le<std::uint16_t>(bytes.data() + at);
    at += 2;
  }
  if (at != bytes.size()) return model_error("trailing bytes after the priors");
  if (auto fault = validate_priors(priors)) return std::unexpected(Error::model(*fault));

  const Digest digest = sha256(bytes);
  Model model{std::string(name.begin(), name.end()), std::move(net), priors, ModelId{},
              std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end()), is_3d, head_shift};
  std::memcpy(model.id.bytes.data(), digest.data(), model.id.bytes.size());
  return model;
}

const ModelSet& ModelSet::builtin() {
  // A function-local static is initialised once, and concurrent first callers wait for it.
  static const ModelSet set = [] {
    auto model_2d = Model::from_bytes(builtin_model_2d());
    if (!model_2d) internal_error("the built-in 2-D model is valid");
    auto model_3d = Model::from_bytes(builtin_model_3d());
    if (!model_3d) internal_error("the built-in 3-D model is valid");
    return ModelSet{std::move(*model_2d), std::move(*model_3d)};
  }();
  return set;
}

std::optional<Model> ModelRegistry::get(const ModelId& id) const {
  for (const Model& model : models_)
    if (model.id == id) return model;
  return std::nullopt;
}

}  // namespace qelvo::codec
