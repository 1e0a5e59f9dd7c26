#pragma once
// The AVX2 kernels, the contract of the scalar ones in nn/kernels/kernel.hpp over
// Packed::weights_i16. Call them only where cpu_has_avx2() is true. They take raw pointers and
// this header includes nothing but integer types, so that avx2.cpp, the only translation unit
// compiled with -mavx2, instantiates no inline function that other code could end up linking
// against (which would run AVX2 instructions on a processor without them).
#include <cstddef>
#include <cstdint>

namespace qelvo::nn::kernels {

// Whether this build compiled the AVX2 kernel (false off x86-64).
bool avx2_kernel_built();

// n records of in_stride input bytes -> n records of out_stride bytes, clip(round(acc >> shift)).
void avx2_hidden(const std::int16_t* weights_i16, const std::int32_t* biases, std::size_t in_stride,
                 std::size_t out_stride, std::uint8_t shift, const std::uint8_t* in, std::size_t n,
                 std::uint8_t* out);

// n records of in_stride input bytes -> n × out_width raw accumulators.
void avx2_linear(const std::int16_t* weights_i16, const std::int32_t* biases, std::size_t in_stride,
                 std::size_t out_width, const std::uint8_t* in, std::size_t n, std::int32_t* out);

}  // namespace qelvo::nn::kernels
