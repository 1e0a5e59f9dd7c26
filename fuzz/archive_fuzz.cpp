// Any bytes as an archive: the open with all its checks, the metadata, then the restore of
// every file. A restore that succeeds gives each file at its recorded size.
#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/format.hpp"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelvo;
  const auto archive = archive::Archive::open(std::span<const std::uint8_t>(data, size));
  if (!archive) return 0;
  if (!archive->metadata()) return 0;
  const auto files = archive->restore_all(fuzz::builtin_registry());
  if (!files) return 0;
  fuzz::require(files->size() == archive->instances().size(), "one restored file per instance");
  for (std::size_t i = 0; i < files->size(); ++i)
    fuzz::require((*files)[i].size() == archive->instances()[i].size, "a restored file has its recorded size");
  return 0;
}
