// Test-only: prints what the DICOM reader makes of each file named on the command line, one JSON
// object per line, for comparison with an independent reader.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "dicom/parse.hpp"
#include "dicom/pixel.hpp"

namespace {

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

template <typename T>
std::string json(const std::optional<T>& value) {
  if (!value) return "null";
  if constexpr (std::is_same_v<T, std::string>) {
    return quoted(*value);
  } else if constexpr (std::is_arithmetic_v<T>) {
    return std::to_string(*value);
  } else {
    std::string out = "[";
    for (std::size_t i = 0; i < value->size(); ++i) {
      char number[32];
      std::snprintf(number, sizeof number, "%.17g", (*value)[i]);
      out += (i ? "," : "") + std::string(number);
    }
    return out + "]";
  }
}

void dump(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto parsed = qelvo::dicom::parse(bytes);
  std::printf("{\"path\":%s", quoted(path).c_str());
  if (!parsed) {
    std::printf(",\"error\":%s}\n", quoted(parsed.error().display()).c_str());
    return;
  }
  const auto& a = parsed->attributes;
  const auto& p = parsed->pixel_data;
  static constexpr const char* kKinds[] = {"Absent", "Native", "Encapsulated"};
  std::printf(",\"syntax\":%d,\"kind\":\"%s\",\"value_offset\":%llu,\"value_end\":%llu", static_cast<int>(parsed->syntax),
              kKinds[static_cast<int>(p.kind)], static_cast<unsigned long long>(p.value_offset),
              static_cast<unsigned long long>(p.value_end));
  std::printf(",\"Rows\":%s,\"Columns\":%s,\"BitsAllocated\":%s,\"BitsStored\":%s,\"HighBit\":%s", json(a.rows).c_str(),
              json(a.columns).c_str(), json(a.bits_allocated).c_str(), json(a.bits_stored).c_str(),
              json(a.high_bit).c_str());
  std::printf(",\"PixelRepresentation\":%s,\"NumberOfFrames\":%s,\"SeriesInstanceUID\":%s,\"SOPInstanceUID\":%s",
              json(a.pixel_representation).c_str(), json(a.number_of_frames).c_str(),
              json(a.series_instance_uid).c_str(), json(a.sop_instance_uid).c_str());
  std::printf(",\"ImagePositionPatient\":%s,\"ImageOrientationPatient\":%s,\"InstanceNumber\":%s,\"TransferSyntaxUID\":%s",
              json(a.image_position_patient).c_str(), json(a.image_orientation_patient).c_str(),
              json(a.instance_number).c_str(), json(a.transfer_syntax_uid).c_str());
  std::string layout = "null";
  if (p.kind == qelvo::dicom::PixelDataKind::Native) {
    const auto l = qelvo::dicom::PixelLayout::from_attributes(a, parsed->syntax);
    if (!l) {
      layout = quoted(l.error().display());
    } else {
      const auto samples = qelvo::dicom::PixelLayout::extract(*l, std::span(bytes).subspan(p.value_offset, p.value_end - p.value_offset));
      layout = samples ? quoted(std::to_string(l->frames) + "x" + std::to_string(l->rows) + "x" + std::to_string(l->columns) +
                                " " + std::to_string(l->bits_stored) + "/" + std::to_string(l->bits_allocated) +
                                " convention " + std::to_string(static_cast<int>(samples->convention)))
                       : quoted(samples.error().display());
    }
  }
  std::printf(",\"layout\":%s}\n", layout.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) dump(argv[i]);
}
