// Any bytes as a DICOM file handed to the packer: whatever the file holds, packing succeeds and
// the archive gives the file back byte for byte.
#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/format.hpp"
#include "archive/pack.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  const std::span<const std::uint8_t> bytes(data, size);
  const codec::ModelSet& builtin = codec::ModelSet::builtin();
  const archive::PackOptions options{{1, builtin.model_2d, builtin.model_3d, 32, 512, true}, 1};
  const archive::InputFile files[] = {{"file.dcm", bytes}};
  const auto packed = archive::pack(files, options);
  fuzz::require(packed.has_value(), "any file packs");

  const auto archive = archive::Archive::open(packed->first);
  fuzz::require(archive.has_value(), "a packed archive opens");
  const auto restored = archive->restore_all(fuzz::builtin_registry());
  fuzz::require(restored.has_value() && restored->size() == 1, "a packed archive restores");
  fuzz::require(std::equal(bytes.begin(), bytes.end(), (*restored)[0].begin(), (*restored)[0].end()),
                "the file comes back byte for byte");
  return 0;
}
