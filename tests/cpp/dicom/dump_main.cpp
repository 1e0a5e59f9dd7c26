// Test-only: prints what the DICOM reader makes of each file named on the command line, one JSON
// object per line, for comparison with an independent reader. Keys are DICOM keywords for the
// attributes; "error" holds the parser's message, "layout" the pixel layout or its error message.
#include <array>
#include <concepts>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dicom/parse.hpp"
#include "dicom/pixel.hpp"

namespace {

using namespace qelvo::dicom;

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string json(const std::string& value) { return quoted(value); }
std::string json(double value) { return number(value); }
template <std::integral T>
std::string json(T value) {
  return std::to_string(value);
}
template <typename T, std::size_t N>
std::string json(const std::array<T, N>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < N; ++i) out += (i ? "," : "") + json(values[i]);
  return out + "]";
}
template <typename T>
std::string json(const std::optional<T>& value) {
  return value ? json(*value) : "null";
}
std::string json(const std::vector<std::string>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + quoted(values[i]);
  return out + "]";
}

const char* kind_name(PixelDataKind kind) {
  switch (kind) {
    case PixelDataKind::Native: return "Native";
    case PixelDataKind::Encapsulated: return "Encapsulated";
    case PixelDataKind::Absent: return "Absent";
  }
  return "?";
}

std::string attributes(const Attributes& a) {
  const std::pair<const char*, std::string> fields[] = {
      {"InstanceNumber", json(a.instance_number)},
      {"AcquisitionNumber", json(a.acquisition_number)},
      {"EchoNumbers", json(a.echo_numbers)},
      {"TemporalPositionIdentifier", json(a.temporal_position_identifier)},
      {"ImagePositionPatient", json(a.image_position_patient)},
      {"ImageOrientationPatient", json(a.image_orientation_patient)},
      {"PixelSpacing", json(a.pixel_spacing)},
      {"SliceThickness", json(a.slice_thickness)},
      {"SpacingBetweenSlices", json(a.spacing_between_slices)},
      {"RescaleIntercept", json(a.rescale_intercept)},
      {"RescaleSlope", json(a.rescale_slope)},
      {"ImageType", json(a.image_type)},
      {"TransferSyntaxUID", json(a.transfer_syntax_uid)},
      {"SOPClassUID", json(a.sop_class_uid)},
      {"SOPInstanceUID", json(a.sop_instance_uid)},
      {"Modality", json(a.modality)},
      {"StudyInstanceUID", json(a.study_instance_uid)},
      {"SeriesInstanceUID", json(a.series_instance_uid)},
      {"PhotometricInterpretation", json(a.photometric_interpretation)},
      {"NumberOfFrames", json(a.number_of_frames)},
      {"SamplesPerPixel", json(a.samples_per_pixel)},
      {"PlanarConfiguration", json(a.planar_configuration)},
      {"Rows", json(a.rows)},
      {"Columns", json(a.columns)},
      {"BitsAllocated", json(a.bits_allocated)},
      {"BitsStored", json(a.bits_stored)},
      {"HighBit", json(a.high_bit)},
      {"PixelRepresentation", json(a.pixel_representation)},
  };
  std::string out;
  for (const auto& [key, value] : fields) out += ",\"" + std::string(key) + "\":" + value;
  return out;
}

// "frames x rows x columns stored/allocated [signed] [big endian] convention N [tail T]", or the
// error message of the layout or of the split.
std::string layout_of(const ParsedFile& file, std::span<const std::uint8_t> bytes) {
  const auto layout = PixelLayout::from_attributes(file.attributes, file.syntax);
  if (!layout) return layout.error().display();
  const PixelDataSpan& span = file.pixel_data;
  const auto samples = PixelLayout::extract(*layout, bytes.subspan(span.value_offset, span.value_end - span.value_offset));
  if (!samples) return samples.error().display();
  const PixelLayout& l = *layout;
  std::string text = std::to_string(l.frames) + "x" + std::to_string(l.rows) + "x" + std::to_string(l.columns) + " " +
                     std::to_string(l.bits_stored) + "/" + std::to_string(l.bits_allocated) + " high " +
                     std::to_string(l.high_bit) + (l.is_signed ? " signed" : "") + (l.big_endian ? " big endian" : "") +
                     " convention " + std::to_string(static_cast<int>(samples->convention));
  if (!samples->tail.empty()) text += " tail " + std::to_string(samples->tail.size());
  return text;
}

void dump(const char* path) {
  std::printf("{\"path\":%s", quoted(path).c_str());
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::printf(",\"unreadable\":true}\n");
    return;
  }
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto parsed = parse(bytes);
  if (!parsed) {
    std::printf(",\"error\":%s}\n", quoted(parsed.error().display()).c_str());
    return;
  }
  const PixelDataSpan& span = parsed->pixel_data;
  std::printf(",\"syntax\":%d,\"kind\":\"%s\",\"element_offset\":%llu,\"value_offset\":%llu,\"value_end\":%llu",
              static_cast<int>(parsed->syntax), kind_name(span.kind),
              static_cast<unsigned long long>(span.element_offset), static_cast<unsigned long long>(span.value_offset),
              static_cast<unsigned long long>(span.value_end));
  std::printf(",\"dataset_offset\":%llu,\"has_preamble\":%s,\"float_pixel_data\":%s%s",
              static_cast<unsigned long long>(parsed->dataset_offset), parsed->has_preamble ? "true" : "false",
              parsed->float_pixel_data ? "true" : "false", attributes(parsed->attributes).c_str());
  const std::string layout = span.kind == PixelDataKind::Native ? quoted(layout_of(*parsed, bytes)) : "null";
  std::printf(",\"layout\":%s}\n", layout.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) dump(argv[i]);
}
