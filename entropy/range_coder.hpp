#pragma once
// The binary range coder: a carry-propagating, byte-oriented arithmetic coder with a
// 32-bit range and a 33-bit low register. It codes adaptive context bits, equiprobable bypass
// bits (up to 32 per call, in chunks of at most 16) and symbols of 16-symbol tables whose
// cumulative bounds are in units of 1/32768.
//
// Header-only on purpose: every operation runs several times per sample in the tile loop and
// must inline there. Nothing here allocates except the encoder's output list (reserved up front
// by the caller's capacity hint), and nothing fails at run time: asking for more than 32 bypass
// bits is a programming error.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/internal_error.hpp"

namespace qelvo::entropy {

inline constexpr std::uint32_t kProbabilityOne = std::uint32_t{1} << 24;  // estimates are in 2^-24
inline constexpr std::uint32_t kTopValue = std::uint32_t{1} << 24;        // normalisation threshold
inline constexpr unsigned kFastRate = 4;
inline constexpr unsigned kSlowRate = 7;
inline constexpr unsigned kMaxBypassBits = 32;
inline constexpr unsigned kSymbolCount = 16;

// The adaptive probability of one binary decision: two estimates of P(bit = 0) in units of 2^-24,
// adapted with rates 4 and 7. Both stay within 0 ..= 2^24.
struct BitContext {
  std::uint32_t fast;
  std::uint32_t slow;

  // Both estimates = prior × 512; a prior of 0 counts as 1 and one above 32767 as 32767.
  static constexpr BitContext from_prior(std::uint32_t prior15) {
    const std::uint32_t p = prior15 == 0 ? 1 : (prior15 > 32767 ? 32767 : prior15);
    return {p << 9, p << 9};
  }

  // P(bit = 0) in units of 1/32768, the mean of the two estimates, clamped to 1..=32767.
  constexpr std::uint32_t probability() const {
    const std::uint32_t p = (fast + slow) >> 10;
    return p == 0 ? 1 : (p > 32767 ? 32767 : p);
  }

  constexpr void adapt(bool bit) {
    if (bit) {
      fast -= fast >> kFastRate;
      slow -= slow >> kSlowRate;
    } else {
      fast += (kProbabilityOne - fast) >> kFastRate;
      slow += (kProbabilityOne - slow) >> kSlowRate;
    }
  }

  bool operator==(const BitContext&) const = default;
};

class Encoder {
 public:
  // The output list reserves `capacity_hint` bytes (the tile coder passes one per sample).
  explicit Encoder(std::size_t capacity_hint) { out_.reserve(capacity_hint); }

  // Codes one bit with the context's probability and adapts the context.
  inline void encode_bit(BitContext& context, bool bit) {
    const std::uint32_t bound = (range_ >> 15) * context.probability();
    if (bit) {
      low_ += bound;
      range_ -= bound;
    } else {
      range_ = bound;
    }
    normalise();
    context.adapt(bit);
  }

  // Codes the low n bits of value, most significant first, in chunks of at most 16 bits taken
  // from the top. n = 0 codes nothing; n > 32 is a programming error.
  inline void encode_bypass(std::uint32_t value, std::uint32_t n) {
    if (n > kMaxBypassBits) internal_error("at most 32 bypass bits per call");
    while (n > 0) {
      const std::uint32_t k = n < 16 ? n : 16;
      n -= k;
      const std::uint32_t all_ones = (std::uint32_t{1} << k) - 1;
      const std::uint32_t c = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value) >> n) & all_ones;
      const std::uint32_t r = range_ >> k;
      low_ += std::uint64_t{c} * r;
      if (c == all_ones) {
        range_ -= c * r;  // the largest chunk value takes the remainder of the range
      } else {
        range_ = r;
      }
      normalise();
    }
  }

  // Codes symbol s (0..15) of a table with cumulative bounds C[0..15] (C[0] = 0, strictly
  // increasing, C[15] <= 32767); symbol 15 owns everything from C[15] to the top of the range.
  inline void encode_symbol(const std::uint32_t* bounds, unsigned s) {
    const std::uint32_t r = range_ >> 15;
    low_ += std::uint64_t{r} * bounds[s];
    if (s == kSymbolCount - 1) {
      range_ -= r * bounds[kSymbolCount - 1];
    } else {
      range_ = r * (bounds[s + 1] - bounds[s]);
    }
    normalise();
  }

  // Flushes the low end of the interval and hands over the output: exactly 4 + (number of
  // normalisation shifts) bytes.
  std::vector<std::uint8_t> finish() && {
    for (int i = 0; i < 5; ++i) shift_low();
    return std::move(out_);
  }

  // Bytes written so far (held-back bytes excluded).
  std::size_t bytes_written() const { return out_.size(); }

 private:
  inline void emit(std::uint8_t byte) {
    if (first_) {
      first_ = false;  // the very first byte is always 0 and is dropped
    } else {
      out_.push_back(byte);
    }
  }

  inline void shift_low() {
    if ((low_ & ~std::uint64_t{0xFFFFFF}) != 0xFF000000u) {
      const std::uint32_t carry = static_cast<std::uint32_t>(low_ >> 32);
      emit(static_cast<std::uint8_t>(cache_ + carry));
      const auto run_byte = static_cast<std::uint8_t>(0xFF + carry);
      for (; pending_ > 1; --pending_) emit(run_byte);
      cache_ = static_cast<std::uint8_t>(low_ >> 24);
      pending_ = 1;
    } else {
      ++pending_;  // a 0xFF byte is held back: a later carry may still turn it into 0x00
    }
    low_ = (low_ & 0x00FFFFFF) << 8;
  }

  inline void normalise() {
    while (range_ < kTopValue) {
      range_ <<= 8;
      shift_low();
    }
  }

  std::vector<std::uint8_t> out_;
  std::uint64_t low_ = 0;      // bits 0..31: the window; bit 32: a pending carry
  std::uint64_t pending_ = 1;  // the cache byte plus (pending - 1) held-back 0xFF bytes
  std::uint32_t range_ = 0xFFFFFFFF;
  bool first_ = true;
  std::uint8_t cache_ = 0;
};

// Reads a stream written by Encoder. Reading past the end is not an error here: missing bytes
// read as 0 and are counted in overrun(), and the caller checks where the stream ended.
class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> stream) : data_(stream.data()), size_(stream.size()) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | next_byte();
  }

  inline bool decode_bit(BitContext& context) {
    const std::uint32_t bound = (range_ >> 15) * context.probability();
    bool bit;
    if (code_ < bound) {
      bit = false;
      range_ = bound;
    } else {
      bit = true;
      code_ -= bound;
      range_ -= bound;
    }
    normalise();
    context.adapt(bit);
    return bit;
  }

  inline std::uint32_t decode_bypass(std::uint32_t n) {
    if (n > kMaxBypassBits) internal_error("at most 32 bypass bits per call");
    std::uint64_t result = 0;
    while (n > 0) {
      const std::uint32_t k = n < 16 ? n : 16;
      n -= k;
      const std::uint32_t all_ones = (std::uint32_t{1} << k) - 1;
      const std::uint32_t r = range_ >> k;
      std::uint32_t c = code_ / r;
      if (c > all_ones) c = all_ones;
      code_ -= c * r;
      if (c == all_ones) {
        range_ -= c * r;
      } else {
        range_ = r;
      }
      normalise();
      result = (result << k) | c;
    }
    return static_cast<std::uint32_t>(result);
  }

  inline unsigned decode_symbol(const std::uint32_t* bounds) {
    const std::uint32_t r = range_ >> 15;
    // s = the largest k with r × C[k] <= code; since C increases, that is the number of
    // k in 1..15 with r × C[k] <= code (counted without branches).
    unsigned s = 0;
#pragma GCC unroll 16
    for (unsigned k = 1; k < kSymbolCount; ++k) s += r * bounds[k] <= code_;
    code_ -= r * bounds[s];
    if (s == kSymbolCount - 1) {
      range_ -= r * bounds[kSymbolCount - 1];
    } else {
      range_ = r * (bounds[s + 1] - bounds[s]);
    }
    normalise();
    return s;
  }

  // Index of the next byte to read.
  std::size_t position() const { return position_; }
  // Number of bytes requested past the end of the stream.
  std::size_t overrun() const { return overrun_; }

 private:
  inline std::uint32_t next_byte() {
    if (position_ < size_) return data_[position_++];
    ++overrun_;
    return 0;
  }

  inline void normalise() {
    while (range_ < kTopValue) {
      code_ = (code_ << 8) | next_byte();
      range_ <<= 8;
    }
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::size_t overrun_ = 0;
  std::uint32_t code_ = 0;
  std::uint32_t range_ = 0xFFFFFFFF;
};

}  // namespace qelvo::entropy
