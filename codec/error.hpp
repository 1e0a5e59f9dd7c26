#pragma once
// The codec's one error type. Every caller shows `display()`; the Python layer raises it as
// ValueError (codec functions) or wraps it into the archive's error.
#include <cstdint>
#include <string>

namespace qelvo::codec {

enum class ErrorKind : std::uint8_t {
  NotQelvo,
  Truncated,
  Unsupported,
  Corrupt,
  Checksum,
  UnknownModel,
  Model,
  InvalidVolume,
  TooLarge,
};

struct Error {
  ErrorKind kind;
  std::string text;         // the variant's text: reason, what failed, or the model identifier
  std::uint64_t count = 0;  // TooLarge only

  static Error not_qelvo() { return {ErrorKind::NotQelvo, {}}; }
  static Error truncated() { return {ErrorKind::Truncated, {}}; }
  static Error unsupported(std::string text) { return {ErrorKind::Unsupported, std::move(text)}; }
  static Error corrupt(std::string text) { return {ErrorKind::Corrupt, std::move(text)}; }
  static Error checksum(std::string what) { return {ErrorKind::Checksum, std::move(what)}; }
  static Error unknown_model(std::string id_text) { return {ErrorKind::UnknownModel, std::move(id_text)}; }
  static Error model(std::string text) { return {ErrorKind::Model, std::move(text)}; }
  static Error invalid_volume(std::string text) { return {ErrorKind::InvalidVolume, std::move(text)}; }
  static Error too_large(std::uint64_t count) { return {ErrorKind::TooLarge, {}, count}; }

  std::string display() const;
  bool operator==(const Error&) const = default;
};

}  // namespace qelvo::codec
