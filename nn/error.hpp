#pragma once
// The network library's one error type. Every variant renders one fixed message;
// the model reader wraps `display()` into its own error.
#include <cstddef>
#include <cstdint>
#include <string>

namespace qelvo::nn {

inline constexpr std::size_t kMaxLayers = 8;
inline constexpr std::size_t kMaxWidth = 256;
inline constexpr std::uint8_t kMaxShift = 24;

enum class ErrorKind : std::uint8_t {
  LayerCount,          // value = count
  Width,               // layer, value = width
  InputMismatch,       // layer, value = inputs, previous = the previous layer's outputs
  ShapeMismatch,       // layer
  ActivationPosition,  // layer
  ShiftRange,          // layer, value = shift
  AccumulatorRange,    // layer
  Malformed,           // reason
};

struct Error {
  ErrorKind kind;
  std::size_t layer = 0;
  std::size_t value = 0;
  std::size_t previous = 0;
  std::string reason;

  static Error layer_count(std::size_t count) { return make(ErrorKind::LayerCount, 0, count); }
  static Error width(std::size_t layer, std::size_t width) { return make(ErrorKind::Width, layer, width); }
  static Error input_mismatch(std::size_t layer, std::size_t inputs, std::size_t outputs) {
    return make(ErrorKind::InputMismatch, layer, inputs, outputs);
  }
  static Error shape_mismatch(std::size_t layer) { return make(ErrorKind::ShapeMismatch, layer); }
  static Error activation_position(std::size_t layer) { return make(ErrorKind::ActivationPosition, layer); }
  static Error shift_range(std::size_t layer, std::size_t shift) { return make(ErrorKind::ShiftRange, layer, shift); }
  static Error accumulator_range(std::size_t layer) { return make(ErrorKind::AccumulatorRange, layer); }
  static Error malformed(std::string reason) { return make(ErrorKind::Malformed, 0, 0, 0, std::move(reason)); }

  std::string display() const;
  bool operator==(const Error&) const = default;

 private:
  static Error make(ErrorKind kind, std::size_t layer, std::size_t value = 0, std::size_t previous = 0,
                    std::string reason = {}) {
    return Error{kind, layer, value, previous, std::move(reason)};
  }
};

}  // namespace qelvo::nn
