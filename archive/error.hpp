#pragma once
// The archive's one error type; codec failures met while packing or restoring are wrapped.
#include <cstdint>
#include <string>

#include "codec/error.hpp"

namespace qelvo::archive {

enum class ErrorKind : std::uint8_t { NotArchive, Corrupt, Unsupported, Mismatch, Codec, Zstd, TooLarge };

struct Error {
  ErrorKind kind;
  std::string text;          // Corrupt, Unsupported, Zstd, TooLarge: the reason; Codec: its display text
  std::uint64_t index = 0;   // Mismatch: the instance

  static Error not_archive() { return {ErrorKind::NotArchive, {}}; }
  static Error corrupt(std::string text) { return {ErrorKind::Corrupt, std::move(text)}; }
  static Error unsupported(std::string text) { return {ErrorKind::Unsupported, std::move(text)}; }
  static Error mismatch(std::uint64_t index) { return {ErrorKind::Mismatch, {}, index}; }
  static Error codec(const codec::Error& error) { return {ErrorKind::Codec, error.display()}; }
  static Error zstd(std::string text) { return {ErrorKind::Zstd, std::move(text)}; }
  static Error too_large(std::string text) { return {ErrorKind::TooLarge, std::move(text)}; }

  std::string display() const {
    switch (kind) {
      case ErrorKind::NotArchive: return "not a Qelvo DICOM archive";
      case ErrorKind::Corrupt: return "corrupt archive: " + text;
      case ErrorKind::Unsupported: return "unsupported archive: " + text;
      case ErrorKind::Mismatch: return "instance " + std::to_string(index) + " does not match its SHA-256";
      case ErrorKind::Codec: return text;
      case ErrorKind::Zstd: return "zstd: " + text;
      case ErrorKind::TooLarge: return "too large: " + text;
    }
    return {};
  }
  bool operator==(const Error&) const = default;
};

}  // namespace qelvo::archive
