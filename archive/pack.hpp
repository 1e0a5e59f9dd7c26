#pragma once
// The packer: named files in, one archive and a report out. Files whose native pixel data the
// codec can carry are gathered into stacks; every other file is stored whole.
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "archive/error.hpp"
#include "codec/codec.hpp"

namespace qelvo::archive {

struct InputFile {
  std::string name;
  std::span<const std::uint8_t> bytes;
};

struct PackOptions {
  codec::EncodeOptions codec;  // for every stack
  std::int32_t zstd_level = 19;
};

// Why a file is stored whole. Ordered by kind, then by text.
enum class StoredKind : std::uint8_t { Unparsable, NoPixelData, Encapsulated, Deflated, FloatPixels, Layout };

struct StoredReason {
  StoredKind kind;
  std::string text;  // Unparsable: the parser's message; Layout: the pixel layout's message

  // The name, and for Unparsable and Layout the text as a quoted, escaped literal in parentheses.
  std::string debug() const;
  auto operator<=>(const StoredReason&) const = default;
};

struct PackReport {
  std::uint64_t instances = 0;
  std::uint64_t coded = 0;
  std::uint64_t stacks = 0;
  std::uint64_t input_bytes = 0;
  std::uint64_t output_bytes = 0;
  std::uint64_t stack_bytes = 0;
  std::uint64_t metadata_bytes = 0;
  std::uint64_t stored_bytes = 0;
  std::map<StoredReason, std::uint64_t> stored;
};

std::expected<std::pair<std::vector<std::uint8_t>, PackReport>, Error> pack(std::span<const InputFile> files,
                                                                             const PackOptions& options);

}  // namespace qelvo::archive
