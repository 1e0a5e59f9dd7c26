// The AVX2 kernel. This is the only translation unit compiled with -mavx2; it is
// called only where the processor supports AVX2 (selected at run time), so the library still
// runs on processors without it. It includes nothing but integer types and the intrinsics, so
// no inline function compiled here with AVX2 instructions can be picked by the linker for other
// code.
//
// Per sample: the record's input bytes are sign-extended to 16-bit values; for each group of 8
// outputs the accumulators start from the biases and, for each pair of inputs, gain the
// multiply-and-add-adjacent-pairs product of the broadcast pair (x[2p], x[2p+1]) with the
// group's (pair) block of Packed::weights_i16. Every product and pairwise sum is exact and
// validation bounds every accumulator by 2^30, so the result equals the scalar kernel's.
#include "nn/kernels/avx2.hpp"

#if defined(__AVX2__)
#include <immintrin.h>

namespace qelvo::nn::kernels {
namespace {

constexpr std::size_t kMaxStride = 256;

// Sign-extends one record of in_stride bytes (a multiple of 16) into 16-bit values.
inline void widen(const std::uint8_t* in, std::size_t in_stride, std::int16_t* x) {
  for (std::size_t i = 0; i < in_stride; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm256_store_si256(reinterpret_cast<__m256i*>(x + i), _mm256_cvtepi8_epi16(bytes));
  }
}

// Accumulators of G consecutive groups for S widened records (x[s] holds record s). `w` points
// at the first group's weights (a group is in_stride × 8 values), `biases` at its first bias.
// Each weight block is loaded once and used for all S records.
template <int S, int G>
inline void accumulate(const std::int16_t* w, const std::int32_t* biases, std::size_t in_stride,
                       const std::int16_t* const (&x)[S], __m256i (&acc)[S][G]) {
#pragma GCC unroll 8
  for (int g = 0; g < G; ++g) {
    const __m256i bias = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(biases + 8 * g));
#pragma GCC unroll 4
    for (int r = 0; r < S; ++r) acc[r][g] = bias;
  }
  const std::size_t group_size = in_stride * 8;
  const std::size_t pairs = in_stride / 2;
  for (std::size_t p = 0; p < pairs; ++p) {
    __m256i pair[S];
#pragma GCC unroll 4
    for (int r = 0; r < S; ++r) pair[r] = _mm256_broadcastd_epi32(_mm_loadu_si32(x[r] + 2 * p));
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) {
      const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + g * group_size + 16 * p));
#pragma GCC unroll 4
      for (int r = 0; r < S; ++r) acc[r][g] = _mm256_add_epi32(acc[r][g], _mm256_madd_epi16(pair[r], block));
    }
  }
}

// Rounds, shifts and clips 8 accumulators and stores them as 8 bytes.
inline void store_activations(__m256i acc, __m256i half, __m128i shift, std::uint8_t* y) {
  acc = _mm256_sra_epi32(_mm256_add_epi32(acc, half), shift);
  acc = _mm256_min_epi32(_mm256_max_epi32(acc, _mm256_setzero_si256()), _mm256_set1_epi32(127));
  const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(y), _mm_packus_epi16(words, words));
}

template <int S, int G>
inline void hidden_groups(const std::int16_t* weights_i16, const std::int32_t* biases, std::size_t in_stride,
                          std::size_t out_stride, std::size_t q, const std::int16_t* const (&x)[S], __m256i half,
                          __m128i shift, std::uint8_t* y) {
  __m256i acc[S][G];
  accumulate<S, G>(weights_i16 + q * in_stride * 8, biases + 8 * q, in_stride, x, acc);
#pragma GCC unroll 4
  for (int r = 0; r < S; ++r) {
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) store_activations(acc[r][g], half, shift, y + r * out_stride + 8 * (q + g));
  }
}

// S records starting at record j: every group of outputs.
template <int S>
inline void hidden_records(const std::int16_t* weights_i16, const std::int32_t* biases, std::size_t in_stride,
                           std::size_t out_stride, const std::int16_t* const (&x)[S], __m256i half, __m128i shift,
                           std::uint8_t* y) {
  const std::size_t groups = out_stride / 8;  // even: out_stride is a multiple of 16
  std::size_t q = 0;
  for (; q + 4 <= groups; q += 4) hidden_groups<S, 4>(weights_i16, biases, in_stride, out_stride, q, x, half, shift, y);
  for (; q + 2 <= groups; q += 2) hidden_groups<S, 2>(weights_i16, biases, in_stride, out_stride, q, x, half, shift, y);
}

// Stores the first `count` (1..8) lanes.
inline void store_outputs(__m256i acc, std::size_t count, std::int32_t* y) {
  if (count >= 8) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y), acc);
    return;
  }
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes);
  _mm256_maskstore_epi32(reinterpret_cast<int*>(y), mask, acc);
}

}  // namespace

bool avx2_kernel_built() { return true; }

void avx2_hidden(const std::int16_t* weights_i16, const std::int32_t* biases, std::size_t in_stride,
                 std::size_t out_stride, std::uint8_t shift, const std::uint8_t* in, std::size_t n,
                 std::uint8_t* out) {
  alignas(32) std::int16_t x0[kMaxStride];
  alignas(32) std::int16_t x1[kMaxStride];
  const __m256i half = _mm256_set1_epi32(shift > 0 ? std::int32_t{1} << (shift - 1) : 0);
  const __m128i count = _mm_cvtsi32_si128(shift);
  std::size_t j = 0;
  for (; j + 2 <= n; j += 2) {
    widen(in + j * in_stride, in_stride, x0);
    widen(in + (j + 1) * in_stride, in_stride, x1);
    const std::int16_t* const x[2] = {x0, x1};
    hidden_records<2>(weights_i16, biases, in_stride, out_stride, x, half, count, out + j * out_stride);
  }
  if (j < n) {
    widen(in + j * in_stride, in_stride, x0);
    const std::int16_t* const x[1] = {x0};
    hidden_records<1>(weights_i16, biases, in_stride, out_stride, x, half, count, out + j * out_stride);
  }
}

void avx2_linear(const std::int16_t* weights_i16, const std::int32_t* biases, std::size_t in_stride,
                 std::size_t out_width, const std::uint8_t* in, std::size_t n, std::int32_t* out) {
  alignas(32) std::int16_t xs[4][kMaxStride];
  const std::size_t groups = (out_width + 7) / 8;  // groups wholly beyond out_width are not computed
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    for (std::size_t r = 0; r < 4; ++r) widen(in + (j + r) * in_stride, in_stride, xs[r]);
    const std::int16_t* const x[4] = {xs[0], xs[1], xs[2], xs[3]};
    for (std::size_t q = 0; q < groups; ++q) {
      __m256i acc[4][1];
      accumulate<4, 1>(weights_i16 + q * in_stride * 8, biases + 8 * q, in_stride, x, acc);
      for (std::size_t r = 0; r < 4; ++r) store_outputs(acc[r][0], out_width - 8 * q, out + (j + r) * out_width + 8 * q);
    }
  }
  for (; j < n; ++j) {
    widen(in + j * in_stride, in_stride, xs[0]);
    const std::int16_t* const x[1] = {xs[0]};
    for (std::size_t q = 0; q < groups; ++q) {
      __m256i acc[1][1];
      accumulate<1, 1>(weights_i16 + q * in_stride * 8, biases + 8 * q, in_stride, x, acc);
      store_outputs(acc[0][0], out_width - 8 * q, out + j * out_width + 8 * q);
    }
  }
}

}  // namespace qelvo::nn::kernels

#else  // not compiled for AVX2: never selected, since cpu_has_avx2() is false off x86-64

#include "common/internal_error.hpp"

namespace qelvo::nn::kernels {

bool avx2_kernel_built() { return false; }

void avx2_hidden(const std::int16_t*, const std::int32_t*, std::size_t, std::size_t, std::uint8_t,
                 const std::uint8_t*, std::size_t, std::uint8_t*) {
  internal_error("AVX2 kernel not built");
}

void avx2_linear(const std::int16_t*, const std::int32_t*, std::size_t, std::size_t, const std::uint8_t*,
                 std::size_t, std::int32_t*) {
  internal_error("AVX2 kernel not built");
}

}  // namespace qelvo::nn::kernels

#endif
