// The reader on real DICOM files from many writers (skipped when the corpus is absent).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "dicom/parse.hpp"
#include "dicom/pixel.hpp"

namespace qelvo::dicom {
namespace {

namespace fs = std::filesystem;

struct CorpusFile {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

std::vector<CorpusFile> corpus() {
  const fs::path root = fs::path(QELVO_CORPUS_DIR) / "dicom";
  std::vector<CorpusFile> files;
  if (!fs::is_directory(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".tsv") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files.push_back({fs::relative(entry.path(), root).string(),
                     {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}});
  }
  std::ranges::sort(files, {}, &CorpusFile::name);
  return files;
}

const std::vector<CorpusFile>& files() {
  static const std::vector<CorpusFile> loaded = corpus();
  return loaded;
}

// Native pixel data splits into samples and rebuilds to the very bytes of the file.
TEST(Corpus, NativePixelDataRoundTrips) {
  if (files().empty()) GTEST_SKIP() << "no DICOM corpus at " << QELVO_CORPUS_DIR;
  int round_trips = 0;
  for (const CorpusFile& file : files()) {
    const auto parsed = parse(file.bytes);
    if (!parsed || parsed->pixel_data.kind != PixelDataKind::Native) continue;
    const PixelDataSpan& span = parsed->pixel_data;
    const auto value = std::span(file.bytes).subspan(span.value_offset, span.value_end - span.value_offset);
    const auto layout = PixelLayout::from_attributes(parsed->attributes, parsed->syntax);
    if (!layout) continue;
    const auto samples = PixelLayout::extract(*layout, value);
    if (!samples) continue;
    EXPECT_TRUE(std::ranges::equal(PixelLayout::reconstruct(*layout, *samples), value)) << file.name;
    ++round_trips;
  }
  EXPECT_GT(round_trips, 50);
}

// Cutting a parsed file inside its pixel data value, or inside the last fragment's delimiter, is
// reported at the exact place.
TEST(Corpus, CutPixelDataIsAnUnexpectedEnd) {
  if (files().empty()) GTEST_SKIP() << "no DICOM corpus at " << QELVO_CORPUS_DIR;
  for (const CorpusFile& file : files()) {
    const auto parsed = parse(file.bytes);
    if (!parsed || parsed->pixel_data.kind == PixelDataKind::Absent) continue;
    const PixelDataSpan& span = parsed->pixel_data;
    if (span.value_end == span.value_offset) continue;  // nothing to cut
    const auto cut = parse(std::span(file.bytes).first(span.value_end - 1));
    ASSERT_FALSE(cut) << file.name;
    const std::uint64_t expected =
        span.kind == PixelDataKind::Native ? span.value_offset : span.value_end - 8;  // the delimiter's header
    EXPECT_EQ(cut.error().display(), "unexpected end of data at offset " + std::to_string(expected)) << file.name;
  }
}

}  // namespace
}  // namespace qelvo::dicom
