#pragma once
// Models: a predictor network, the head shift that scales its outputs and the initial
// probabilities (priors) of every adaptive context of the residual coder, read from "QVM1" files.
#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/error.hpp"
#include "codec/model_id.hpp"
#include "nn/network.hpp"

namespace qelvo::codec {

inline constexpr std::size_t kTokenModels = 20;
inline constexpr std::size_t kTokens = 16;
inline constexpr std::size_t kSignContexts = 68;
inline constexpr std::size_t kRunContexts = 4;
inline constexpr std::size_t kSignPriorsAt = kTokenModels * kTokens;          // 320
inline constexpr std::size_t kRunPriorsAt = kSignPriorsAt + kSignContexts;   // 388
inline constexpr std::size_t kPriorCount = kRunPriorsAt + kRunContexts;      // 392
inline constexpr std::uint32_t kProbabilityOne = 32768;

// 392 values: 20 token tables of 16 cumulative entries, then 68 sign and 4 run bit priors,
// all in units of 1/32768.
struct Priors {
  std::array<std::uint16_t, kPriorCount> values;

  static Priors uniform();  // every token table 0, 2048, ..., 30720 and every bit prior 16384
  std::span<const std::uint16_t, kTokens> token_cdf(std::size_t model) const {
    return std::span<const std::uint16_t, kTokens>(values.data() + model * kTokens, kTokens);
  }
};

// A token table is a cumulative distribution: entry 0 is 0, never decreasing, entry 15 at most 32768.
bool is_cumulative(std::span<const std::uint16_t, kTokens> cdf);
// nullopt when valid, else the model error text.
std::optional<std::string> validate_priors(const Priors& priors);

struct Model {
  std::string name;
  nn::Network network;
  Priors priors;
  ModelId id;
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;  // the file, shared by all copies
  bool is_3d = false;
  std::uint8_t head_shift = 0;

  static std::expected<Model, Error> from_bytes(std::span<const std::uint8_t> bytes);
};

// The built-in pair, parsed once per process on first use.
struct ModelSet {
  Model model_2d;
  Model model_3d;

  static const ModelSet& builtin();
};

// Finds models by identifier: the first model in list order whose identifier matches.
class ModelRegistry {
 public:
  explicit ModelRegistry(std::vector<Model> models) : models_(std::move(models)) {}
  std::optional<Model> get(const ModelId& id) const;

 private:
  std::vector<Model> models_;
};

}  // namespace qelvo::codec
