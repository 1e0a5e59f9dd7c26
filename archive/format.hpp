#pragma once
// The DICOM archive: a little-endian header (magic 0x89 'Q' 'V' 'D', version 1), a stack table,
// an instance table, one zstd frame of metadata pieces, the stored files' zstd frames and one
// codec container per stack. `Archive::open` checks the tables; the sections are read in place.
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "archive/error.hpp"
#include "codec/checksum.hpp"
#include "codec/model.hpp"
#include "dicom/pixel.hpp"

namespace qelvo::archive {

inline constexpr std::uint32_t kArchiveMagic = 0x44565189;  // 0x89 'Q' 'V' 'D' read little endian
inline constexpr std::uint16_t kArchiveVersion = 1;
inline constexpr std::size_t kHeaderSize = 72;
inline constexpr std::size_t kStackEntrySize = 16;
inline constexpr std::size_t kMaxNameBytes = 65535;
inline constexpr std::uint64_t kMaxMetadataBytes = std::uint64_t{1} << 31;

struct Section {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// A file kept whole as its own zstd frame in the stored section.
struct StoredParts {
  std::uint64_t frame_offset = 0;  // from the start of the stored section
  std::uint64_t frame_length = 0;
};

// A file whose samples lie in a stack and whose other bytes lie in a metadata piece.
struct CodedParts {
  std::uint32_t stack = 0;
  std::uint32_t first_slice = 0;
  dicom::PixelLayout layout;
  dicom::BitConvention convention = dicom::BitConvention::Zero;
  std::uint64_t metadata_piece_offset = 0;
  std::uint64_t prefix_length = 0;
  std::uint64_t suffix_length = 0;
  std::uint32_t tail_length = 0;

  // prefix + suffix + tail, plus the plane of an irregular instance; false when it overflows.
  bool piece_size(std::uint64_t& size) const;
};

struct InstanceEntry {
  std::string name;
  std::uint64_t size = 0;
  codec::Digest sha256{};
  std::variant<StoredParts, CodedParts> parts;
};

class Archive {
 public:
  static std::expected<Archive, Error> open(std::span<const std::uint8_t> data);

  // The decompressed metadata section (empty when there is none).
  std::expected<std::vector<std::uint8_t>, Error> metadata() const;
  // Every file, in instance order, each proved by its size and SHA-256.
  std::expected<std::vector<std::vector<std::uint8_t>>, Error> restore_all(const codec::ModelRegistry& models) const;

  const std::vector<InstanceEntry>& instances() const { return instances_; }
  const std::vector<Section>& stacks() const { return stacks_; }

 private:
  std::vector<InstanceEntry> instances_;
  std::vector<Section> stacks_;
  std::span<const std::uint8_t> data_;
  Section metadata_;
  Section stored_;
};

// Whether offset + length lies within `size` bytes: "section bounds" when the sum overflows,
// "section outside the archive" when it ends beyond them.
std::optional<Error> check_section(const Section& section, std::uint64_t size);

// Exactly `expected` bytes decompressed from one zstd frame.
std::expected<std::vector<std::uint8_t>, Error> unzstd(std::span<const std::uint8_t> compressed, std::uint64_t expected);

// The complete archive: header, stack table, instance table, metadata frame, stored section and
// the stack containers, in that order.
std::vector<std::uint8_t> write_archive(const std::vector<InstanceEntry>& instances,
                                        const std::vector<std::vector<std::uint8_t>>& stacks,
                                        std::span<const std::uint8_t> metadata_frame,
                                        std::span<const std::uint8_t> stored_section);

}  // namespace qelvo::archive
