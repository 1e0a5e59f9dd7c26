#pragma once
// The two built-in model files, embedded into the library at build time from codec/models/.
#include <cstdint>
#include <span>

namespace qelvo::codec {

std::span<const std::uint8_t> builtin_model_2d();
std::span<const std::uint8_t> builtin_model_3d();

}  // namespace qelvo::codec
