#pragma once
// The encoder and decoder drivers: whole volumes to containers and back.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "codec/error.hpp"
#include "codec/model.hpp"
#include "codec/volume.hpp"

namespace qelvo::codec {

struct EncodeOptions {
  std::optional<std::uint64_t> threads;  // for map_tiles; unset: the shared pool
  Model model_2d;
  Model model_3d;
  std::uint16_t slab = 32;
  std::uint16_t stripe = 512;
  bool packing = true;
};

struct DecodeOptions {
  std::optional<std::uint64_t> threads;
  const ModelRegistry* models = nullptr;
  std::uint64_t max_samples = std::uint64_t{1} << 34;
  bool verify = true;
};

inline constexpr std::size_t kMaxMetadataBytes = std::size_t{16} << 20;

std::expected<std::vector<std::uint8_t>, Error> encode_with_metadata(const Volume& volume,
                                                                     std::span<const std::uint8_t> metadata,
                                                                     const EncodeOptions& options);

std::expected<Volume, Error> decode(std::span<const std::uint8_t> data, const DecodeOptions& options);

}  // namespace qelvo::codec
