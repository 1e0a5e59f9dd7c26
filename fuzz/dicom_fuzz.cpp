// Any bytes as a DICOM file: the parser, then the pixel layout and the split into samples.
// Whatever the parser reports must lie inside the file, and samples that were split out must
// put back exactly the bytes they came from.
#include <cstddef>
#include <cstdint>
#include <span>

#include "dicom/parse.hpp"
#include "dicom/pixel.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto parsed = dicom::parse(bytes);
  if (!parsed) {
    fuzz::require(parsed.error().offset <= size, "a fault's offset lies inside the file");
    return 0;
  }
  const dicom::PixelDataSpan& pixels = parsed->pixel_data;
  fuzz::require(parsed->dataset_offset <= size, "the data set starts inside the file");
  if (pixels.kind == dicom::PixelDataKind::Absent) return 0;
  fuzz::require(pixels.element_offset < pixels.value_offset && pixels.value_offset <= pixels.value_end &&
                    pixels.value_end <= size,
                "the pixel data lies inside the file");
  if (pixels.kind != dicom::PixelDataKind::Native) return 0;

  const auto layout = dicom::PixelLayout::from_attributes(parsed->attributes, parsed->syntax);
  if (!layout) return 0;
  const auto value = bytes.subspan(pixels.value_offset, pixels.value_end - pixels.value_offset);
  const auto samples = dicom::PixelLayout::extract(*layout, value);
  if (!samples) return 0;
  fuzz::require(samples->values.size() == layout->sample_count(), "one value per sample");
  const auto rebuilt = dicom::PixelLayout::reconstruct(*layout, *samples);
  fuzz::require(std::equal(rebuilt.begin(), rebuilt.end(), value.begin(), value.end()),
                "the samples put back the pixel data byte for byte");
  return 0;
}
