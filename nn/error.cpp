#include "nn/error.hpp"

namespace qelvo::nn {

std::string Error::display() const {
  const std::string l = std::to_string(layer);
  switch (kind) {
    case ErrorKind::LayerCount:
      return "a network needs 1 to " + std::to_string(kMaxLayers) + " layers, got " + std::to_string(value);
    case ErrorKind::Width:
      return "layer " + l + ": width " + std::to_string(value) + " outside 1..=" + std::to_string(kMaxWidth);
    case ErrorKind::InputMismatch:
      return "layer " + l + " expects " + std::to_string(value) + " inputs but the previous layer has " +
             std::to_string(previous) + " outputs";
    case ErrorKind::ShapeMismatch: return "layer " + l + ": weight or bias count does not match its shape";
    case ErrorKind::ActivationPosition: return "layer " + l + ": invalid activation for its position";
    case ErrorKind::ShiftRange:
      return "layer " + l + ": shift " + std::to_string(value) + " outside 0..=" + std::to_string(kMaxShift);
    case ErrorKind::AccumulatorRange: return "layer " + l + ": accumulator could exceed 2^30";
    case ErrorKind::Malformed: return "malformed network encoding: " + reason;
  }
  return {};
}

}  // namespace qelvo::nn
