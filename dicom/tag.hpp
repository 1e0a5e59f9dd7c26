#pragma once
// DICOM tags, and the tags the reader acts on: the delimiters of sequences and items, the file
// meta elements, the pixel data elements and the collected attributes.
#include <cstdint>
#include <string>

namespace qelvo::dicom {

struct Tag {
  std::uint16_t group = 0;
  std::uint16_t element = 0;

  // Group and element in one number, for switching over tags.
  constexpr std::uint32_t key() const { return (std::uint32_t{group} << 16) | element; }

  // (GGGG,EEEE) in upper-case hexadecimal.
  std::string display() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "(";
    for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(group >> shift) & 15];
    text += ',';
    for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(element >> shift) & 15];
    return text + ")";
  }
  bool operator==(const Tag&) const = default;
};

namespace tags {

// Sequence and item delimitation; tags of this group never carry a VR.
inline constexpr std::uint16_t kDelimiterGroup = 0xFFFE;
inline constexpr Tag kItem{0xFFFE, 0xE000};
inline constexpr Tag kItemDelimiter{0xFFFE, 0xE00D};
inline constexpr Tag kSequenceDelimiter{0xFFFE, 0xE0DD};

// The file meta group, always explicit or implicit VR little endian.
inline constexpr std::uint16_t kMetaGroup = 0x0002;
inline constexpr Tag kMediaStorageSopClassUid{0x0002, 0x0002};
inline constexpr Tag kMediaStorageSopInstanceUid{0x0002, 0x0003};
inline constexpr Tag kTransferSyntaxUid{0x0002, 0x0010};

inline constexpr Tag kFloatPixelData{0x7FE0, 0x0008};
inline constexpr Tag kDoubleFloatPixelData{0x7FE0, 0x0009};
inline constexpr Tag kPixelData{0x7FE0, 0x0010};

// The collected attributes of the data set.
inline constexpr Tag kImageType{0x0008, 0x0008};
inline constexpr Tag kSopClassUid{0x0008, 0x0016};
inline constexpr Tag kSopInstanceUid{0x0008, 0x0018};
inline constexpr Tag kModality{0x0008, 0x0060};
inline constexpr Tag kSliceThickness{0x0018, 0x0050};
inline constexpr Tag kEchoNumbers{0x0018, 0x0086};
inline constexpr Tag kSpacingBetweenSlices{0x0018, 0x0088};
inline constexpr Tag kStudyInstanceUid{0x0020, 0x000D};
inline constexpr Tag kSeriesInstanceUid{0x0020, 0x000E};
inline constexpr Tag kAcquisitionNumber{0x0020, 0x0012};
inline constexpr Tag kInstanceNumber{0x0020, 0x0013};
inline constexpr Tag kImagePositionPatient{0x0020, 0x0032};
inline constexpr Tag kImageOrientationPatient{0x0020, 0x0037};
inline constexpr Tag kTemporalPositionIdentifier{0x0020, 0x0100};
inline constexpr Tag kSamplesPerPixel{0x0028, 0x0002};
inline constexpr Tag kPhotometricInterpretation{0x0028, 0x0004};
inline constexpr Tag kPlanarConfiguration{0x0028, 0x0006};
inline constexpr Tag kNumberOfFrames{0x0028, 0x0008};
inline constexpr Tag kRows{0x0028, 0x0010};
inline constexpr Tag kColumns{0x0028, 0x0011};
inline constexpr Tag kPixelSpacing{0x0028, 0x0030};
inline constexpr Tag kBitsAllocated{0x0028, 0x0100};
inline constexpr Tag kBitsStored{0x0028, 0x0101};
inline constexpr Tag kHighBit{0x0028, 0x0102};
inline constexpr Tag kPixelRepresentation{0x0028, 0x0103};
inline constexpr Tag kRescaleIntercept{0x0028, 0x1052};
inline constexpr Tag kRescaleSlope{0x0028, 0x1053};

}  // namespace tags
}  // namespace qelvo::dicom
