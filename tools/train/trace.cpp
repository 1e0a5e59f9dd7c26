// Walks a volume exactly as the encoder does and writes what training needs, without coding
// anything:
//   OUT.samples  one 64-byte record for every sample that is not a run hit (a deterministic
//                one-in-`keep` subset): the network inputs, base, scale, the local values, the
//                true code and what the given models predict for it;
//   OUT.events   the first decisions of every adaptive context of every tile (token, sign and run
//                bits), in coding order, for fitting the priors;
//   OUT.txt      max_code, the counts of residuals and of run decisions per run context.
//
//   qelvo_trace VOLUME OUT [--slab N] [--stripe N] [--keep K] [--models 2D.qvm 3D.qvm]
//
// VOLUME is a raw file: six little-endian int64 (slices, rows, columns, bits, signed, 0), then
// the samples as little-endian int32 in slice-major order. Without --models the built-in pair
// runs; the features, the run decisions and the codes do not depend on the models.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/model.hpp"
#include "codec/packing.hpp"
#include "codec/pool.hpp"
#include "codec/tile_loop.hpp"
#include "codec/tiles.hpp"
#include "codec/volume.hpp"

namespace qelvo::codec {
namespace {

constexpr std::size_t kRecordBytes = 64;
constexpr std::size_t kEventsPerContext = 1024;  // priors matter only for a context's first uses
enum EventKind : std::uint8_t { kTokenEvent = 0, kSignEvent = 1, kRunEvent = 2 };
constexpr std::size_t kContextsPerState = kTokenModels + kSignContexts + kRunContexts;

// Equal inputs give equal choices: the subset depends on the tile and the sample's place only.
bool kept(std::uint64_t tile, std::uint64_t index, std::uint64_t keep) {
  std::uint64_t z = (tile << 40) ^ index;
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return (z ^ (z >> 31)) % keep == 0;
}

struct TileTrace {
  std::vector<std::uint8_t> records, events;
  std::uint64_t residuals = 0;
  std::uint64_t run_hits[kRunContexts] = {}, run_misses[kRunContexts] = {};
};

// A pass that reads the true codes like the encoder and records instead of coding.
class TracePass {
 public:
  TracePass(std::span<const std::int32_t> codes, std::size_t columns, std::int32_t max_code, std::uint64_t tile,
            std::uint64_t keep, TileTrace& out)
      : codes_(codes), columns_(columns), max_code_(max_code), tile_(tile), keep_(keep), out_(out) {}

  std::int32_t first(unsigned) { return codes_[0]; }
  void row(const Work& work, const Model& model) {
    work_ = &work;
    is_3d_ = model.is_3d;
    head_shift_ = model.head_shift;
  }
  bool run(CoderState&, unsigned context, std::int32_t west, std::size_t index) {
    const bool hit = codes_[index] == west;
    (hit ? out_.run_hits : out_.run_misses)[context] += 1;
    event(kRunEvent, kTokenModels + kSignContexts + context, static_cast<std::uint8_t>(context), !hit);
    return hit;
  }
  std::int32_t sample(CoderState&, const ResidualContext& where, const LocalValues& locals, std::size_t index) {
    const std::int32_t code = codes_[index];
    const std::int64_t e = code - where.rounded;
    const unsigned token = token_of(static_cast<std::uint32_t>(e < 0 ? -e : e) >> where.low_bits);
    event(kTokenEvent, where.token_model, static_cast<std::uint8_t>(where.token_model), static_cast<std::uint8_t>(token));
    if (e != 0)
      event(kSignEvent, kTokenModels + where.sign_context(), static_cast<std::uint8_t>(where.sign_context()), e < 0);
    ++out_.residuals;
    if (kept(tile_, index, keep_)) record(locals, index % columns_, code);
    return code;
  }
  void emit(std::size_t, std::int32_t) {}
  bool exhausted() const { return false; }

 private:
  void event(EventKind kind, std::size_t slot, std::uint8_t context, std::uint8_t value) {
    std::size_t& seen = seen_[is_3d_][slot];
    if (seen == kEventsPerContext) return;
    ++seen;
    const std::uint32_t state = static_cast<std::uint32_t>(2 * tile_ + is_3d_);
    const std::uint8_t tail[4] = {kind, context, value, 0};
    append(out_.events, &state, 4);
    append(out_.events, tail, 4);
  }

  // features[30] int8, is_3d u8, 0 u8, base i32, scale i32, l0..l2 i16, 0 i16, code i32,
  // prediction i32 (1/16 code), scale class i32, tile u32.
  void record(const LocalValues& locals, std::size_t column, std::int32_t code) {
    std::uint8_t r[kRecordBytes] = {};
    const std::size_t stride = work_->feature_stride, count = is_3d_ ? kFeatures3d : kFeatures2d;
    std::memcpy(r, work_->features.data() + column * stride, count);
    r[30] = is_3d_;
    const std::int32_t base = work_->base[column], scale = work_->scale[column];
    const std::int16_t l[3] = {static_cast<std::int16_t>(locals.l0), static_cast<std::int16_t>(locals.l1),
                               static_cast<std::int16_t>(locals.l2)};
    const HeadResult h = head(work_->outputs.data() + kOutputsPerSample * column, base, scale, locals.l0, locals.l1,
                              locals.l2, head_shift_, max_code_);
    const auto prediction = static_cast<std::int32_t>(h.prediction), scale_class = static_cast<std::int32_t>(h.scale_class);
    std::memcpy(r + 32, &base, 4);
    std::memcpy(r + 36, &scale, 4);
    std::memcpy(r + 40, l, 6);
    std::memcpy(r + 48, &code, 4);
    std::memcpy(r + 52, &prediction, 4);
    std::memcpy(r + 56, &scale_class, 4);
    const auto tile = static_cast<std::uint32_t>(tile_);
    std::memcpy(r + 60, &tile, 4);
    append(out_.records, r, kRecordBytes);
  }

  static void append(std::vector<std::uint8_t>& to, const void* bytes, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    to.insert(to.end(), p, p + n);
  }

  std::span<const std::int32_t> codes_;
  std::size_t columns_;
  std::int32_t max_code_;
  std::uint64_t tile_, keep_;
  TileTrace& out_;
  const Work* work_ = nullptr;
  bool is_3d_ = false;
  unsigned head_shift_ = 0;
  std::size_t seen_[2][kContextsPerState] = {};
};

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Volume read_volume(const std::string& path) {
  const std::vector<std::uint8_t> bytes = read_file(path);
  std::int64_t header[6];
  if (bytes.size() < sizeof header) throw std::runtime_error("short volume file " + path);
  std::memcpy(header, bytes.data(), sizeof header);
  const auto count = static_cast<std::size_t>(header[0] * header[1] * header[2]);
  if (bytes.size() != sizeof header + 4 * count) throw std::runtime_error("volume file size mismatch " + path);
  std::vector<std::int32_t> samples(count);
  std::memcpy(samples.data(), bytes.data() + sizeof header, 4 * count);
  auto volume = Volume::create(static_cast<std::uint64_t>(header[0]), static_cast<std::uint64_t>(header[1]),
                               static_cast<std::uint64_t>(header[2]), static_cast<std::uint8_t>(header[3]),
                               header[4] != 0, std::move(samples));
  if (!volume) throw std::runtime_error(path + ": " + volume.error().display());
  return std::move(*volume);
}

Model read_model(const std::string& path) {
  const std::vector<std::uint8_t> bytes = read_file(path);
  auto model = Model::from_bytes(bytes);
  if (!model) throw std::runtime_error(path + ": " + model.error().display());
  return std::move(*model);
}

struct Options {
  std::string volume, out;
  std::uint64_t slab = 32, stripe = 512, keep = 1;
  std::string model_2d, model_3d;
};

Options parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] {
      if (i + 1 >= argc) throw std::runtime_error("missing value after " + a);
      return std::string(argv[++i]);
    };
    if (a == "--slab") o.slab = std::stoull(next());
    else if (a == "--stripe") o.stripe = std::stoull(next());
    else if (a == "--keep") o.keep = std::stoull(next());
    else if (a == "--models") o.model_2d = next(), o.model_3d = next();
    else positional.push_back(a);
  }
  if (positional.size() != 2 || o.slab == 0 || o.stripe == 0 || o.keep == 0)
    throw std::runtime_error("usage: qelvo_trace VOLUME OUT [--slab N] [--stripe N] [--keep K] [--models 2D 3D]");
  o.volume = positional[0], o.out = positional[1];
  return o;
}

// The tile's codes in tile order: its rows are contiguous in the volume, one slice after another.
std::vector<std::int32_t> tile_codes(const std::vector<std::int32_t>& codes, const TileBox& box, const Volume& v) {
  std::vector<std::int32_t> out;
  for (std::uint64_t z = box.slab_start; z < box.slab_start + box.slab_len; ++z) {
    const auto first = codes.begin() + static_cast<std::ptrdiff_t>((z * v.rows + box.stripe_start) * v.columns);
    out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(box.stripe_len * v.columns));
  }
  return out;
}

void trace(const Options& o) {
  const Volume volume = read_volume(o.volume);
  const bool builtin = o.model_2d.empty();
  const Model model_2d = builtin ? ModelSet::builtin().model_2d : read_model(o.model_2d);
  const Model model_3d = builtin ? ModelSet::builtin().model_3d : read_model(o.model_3d);
  const MappedSamples mapped = map_values(volume.samples, true);  // as the encoder's default
  const std::vector<TileBox> boxes = tiles(volume.slices, volume.rows, o.slab, o.stripe);
  const std::vector<TileTrace> traces = map_tiles(boxes.size(), std::nullopt, [&](std::size_t i) {
    const std::vector<std::int32_t> codes = tile_codes(mapped.codes, boxes[i], volume);
    const TileShape shape{static_cast<std::size_t>(boxes[i].slab_len), static_cast<std::size_t>(boxes[i].stripe_len),
                          static_cast<std::size_t>(volume.columns)};
    TileTrace out;
    TracePass pass(codes, shape.columns, mapped.mapping.max_code, i, o.keep, out);
    code_tile(pass, shape, model_2d, model_3d, mapped.mapping.max_code);
    return out;
  });

  TileTrace all;
  for (const TileTrace& t : traces) {
    all.records.insert(all.records.end(), t.records.begin(), t.records.end());
    all.events.insert(all.events.end(), t.events.begin(), t.events.end());
    all.residuals += t.residuals;
    for (std::size_t c = 0; c < kRunContexts; ++c) all.run_hits[c] += t.run_hits[c], all.run_misses[c] += t.run_misses[c];
  }
  write_file(o.out + ".samples", all.records);
  write_file(o.out + ".events", all.events);
  std::string summary = "max_code " + std::to_string(mapped.mapping.max_code) + "\ntiles " +
                        std::to_string(boxes.size()) + "\nresiduals " + std::to_string(all.residuals) + "\n";
  for (std::size_t c = 0; c < kRunContexts; ++c)
    summary += "run " + std::to_string(c) + " " + std::to_string(all.run_hits[c]) + " " +
               std::to_string(all.run_misses[c]) + "\n";
  write_file(o.out + ".txt", std::vector<std::uint8_t>(summary.begin(), summary.end()));
}

}  // namespace
}  // namespace qelvo::codec

int main(int argc, char** argv) {
  try {
    qelvo::codec::trace(qelvo::codec::parse(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "qelvo_trace: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
