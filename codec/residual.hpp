#pragma once
// Coding of one sample's residual against its prediction: a token from an adaptive 16-symbol
// model, escape and low bits in bypass, and a context-coded sign. Inline: it runs per sample.
#include <algorithm>
#include <array>
#include <cstdint>

#include "codec/error.hpp"
#include "codec/model.hpp"
#include "entropy/range_coder.hpp"

namespace qelvo::codec {

inline constexpr unsigned kDirectTokens = 14;   // tokens 0..13 are the high part itself
inline constexpr unsigned kEscapeBits = 4;      // token 14 carries 14..29 in 4 bits
inline constexpr unsigned kLongEscapeBase = 29; // token 15 carries 29 + v, v >= 1
inline constexpr unsigned kExponentBits = 5;
inline constexpr unsigned kMaxExponent = 20;
inline constexpr unsigned kMaxLowBits = 14;
inline constexpr std::uint32_t kSymbolScale = 32752;  // every token keeps at least 1/32768

// An adaptive distribution over the 16 tokens.
struct TokenModel {
  std::array<std::uint16_t, kTokens> cdf;  // cdf[i] = P(token < i) in 1/32768; cdf[0] = 0
  std::uint8_t count = 0;                  // updates so far, saturating at 32

  std::array<std::uint32_t, kTokens> bounds() const {
    std::array<std::uint32_t, kTokens> c;
    for (std::uint32_t k = 0; k < kTokens; ++k) c[k] = ((cdf[k] * kSymbolScale) >> 15) + k;
    return c;
  }

  void adapt(unsigned token) {
    const unsigned rate = 5 + (count >= 16) + (count >= 32);
    for (unsigned k = 1; k < kTokens; ++k) {
      if (token < k)
        cdf[k] = static_cast<std::uint16_t>(cdf[k] + ((kProbabilityOne - cdf[k]) >> rate));
      else
        cdf[k] = static_cast<std::uint16_t>(cdf[k] - (cdf[k] >> rate));
    }
    count = static_cast<std::uint8_t>(std::min(count + 1, 32));
  }
};

// The adaptive statistics of one model kind within one tile.
struct CoderState {
  std::array<entropy::BitContext, kSignContexts> sign_contexts;
  std::array<entropy::BitContext, kRunContexts> run_contexts;
  std::array<TokenModel, kTokenModels> token_models;

  explicit CoderState(const Priors& priors);
};

// Where a prediction and a scale class send a residual.
struct ResidualContext {
  std::int64_t rounded;   // the prediction rounded to a code
  unsigned group;         // where the exact prediction lies relative to it, in quarters
  unsigned low_bits;      // bits of the magnitude sent raw
  unsigned token_model;
  unsigned sign_class;

  ResidualContext(std::int64_t prediction, std::int64_t scale_class) {
    rounded = (prediction + 8) >> 4;
    group = static_cast<unsigned>(((prediction + 8) >> 2) & 3);
    low_bits = static_cast<unsigned>(std::clamp<std::int64_t>((scale_class >> 3) - 1, 0, kMaxLowBits));
    if (low_bits > 0) {
      token_model = 16 + static_cast<unsigned>((scale_class >> 1) & 3);
      sign_class = 16;
    } else {
      token_model = sign_class = static_cast<unsigned>(std::clamp<std::int64_t>((scale_class + 16) >> 1, 0, 15));
    }
  }
  unsigned sign_context() const { return group * 17 + sign_class; }
};

// The token of a magnitude's high part u: u itself below 14, then the two escapes.
inline unsigned token_of(std::uint32_t u) { return u < kDirectTokens ? u : (u < 30 ? 14 : 15); }

inline void encode_residual(entropy::Encoder& encoder, CoderState& state, const ResidualContext& where,
                            std::int32_t code) {
  const std::int64_t e = code - where.rounded;
  const auto a = static_cast<std::uint32_t>(e < 0 ? -e : e);
  const std::uint32_t u = a >> where.low_bits;
  const unsigned token = token_of(u);
  TokenModel& model = state.token_models[where.token_model];
  encoder.encode_symbol(model.bounds().data(), token);
  model.adapt(token);
  if (token == 14) {
    encoder.encode_bypass(u - kDirectTokens, kEscapeBits);
  } else if (token == 15) {
    const std::uint32_t v = u - kLongEscapeBase;
    const unsigned k = 31 - static_cast<unsigned>(__builtin_clz(v));
    encoder.encode_bypass(k, kExponentBits);
    encoder.encode_bypass(v - (1u << k), k);
  }
  if (where.low_bits > 0) encoder.encode_bypass(a & ((1u << where.low_bits) - 1), where.low_bits);
  if (e != 0) encoder.encode_bit(state.sign_contexts[where.sign_context()], e < 0);
}

// The decoded code, or -1 with `error` set.
inline std::int32_t decode_residual(entropy::Decoder& decoder, CoderState& state, const ResidualContext& where,
                                    std::int32_t max_code, Error& error) {
  TokenModel& model = state.token_models[where.token_model];
  const unsigned token = decoder.decode_symbol(model.bounds().data());
  model.adapt(token);
  std::uint64_t high = token;
  if (token == 14) {
    high = kDirectTokens + decoder.decode_bypass(kEscapeBits);
  } else if (token == 15) {
    const std::uint32_t k = decoder.decode_bypass(kExponentBits);
    if (k > kMaxExponent) {
      error = Error::corrupt("residual escape out of range");
      return -1;
    }
    high = kLongEscapeBase + (std::uint64_t{1} << k) + decoder.decode_bypass(k);
  }
  const std::int64_t m =
      static_cast<std::int64_t>((high << where.low_bits) | decoder.decode_bypass(where.low_bits));
  std::int64_t code = where.rounded;
  if (m != 0) code += decoder.decode_bit(state.sign_contexts[where.sign_context()]) ? -m : m;
  if (code < 0 || code > max_code) {
    error = Error::corrupt("decoded sample outside the value range");
    return -1;
  }
  return static_cast<std::int32_t>(code);
}

}  // namespace qelvo::codec
