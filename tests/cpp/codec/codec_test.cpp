#include "codec/codec.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "codec/container.hpp"
#include "codec/tile.hpp"
#include "codec/tile_loop.hpp"
#include "common/bytes.hpp"

namespace qelvo::codec {
namespace {

EncodeOptions builtin_options(std::optional<std::uint64_t> threads = 1) {
  const ModelSet& builtin = ModelSet::builtin();
  return {threads, builtin.model_2d, builtin.model_3d, 32, 512, true};
}

const ModelRegistry& builtin_registry() {
  static const ModelRegistry registry({ModelSet::builtin().model_2d, ModelSet::builtin().model_3d});
  return registry;
}

DecodeOptions decode_options(bool verify = true, std::optional<std::uint64_t> threads = 1) {
  return {threads, &builtin_registry(), std::uint64_t{1} << 34, verify};
}

// A smooth volume with noise: exercises runs, small and large residuals.
Volume textured(std::uint64_t slices, std::uint64_t rows, std::uint64_t columns, std::uint8_t bits, bool is_signed,
                unsigned seed) {
  std::mt19937 random(seed);
  const SampleRange range = sample_range(bits, is_signed);
  std::vector<std::int32_t> samples;
  for (std::uint64_t z = 0; z < slices; ++z)
    for (std::uint64_t y = 0; y < rows; ++y)
      for (std::uint64_t x = 0; x < columns; ++x) {
        const std::int64_t span = range.hi - range.lo;
        std::int64_t v = range.lo + (span * static_cast<std::int64_t>((x * 3 + y * 5 + z * 7) % 64)) / 64;
        if (random() % 4 == 0) v += static_cast<std::int64_t>(random() % 9) - 4;
        if (random() % 97 == 0) v = range.lo + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(span + 1));
        samples.push_back(static_cast<std::int32_t>(std::clamp(v, range.lo, range.hi)));
      }
  return *Volume::create(slices, rows, columns, bits, is_signed, std::move(samples));
}

void expect_round_trip(const Volume& volume, const EncodeOptions& options, const char* name) {
  const auto container = encode_with_metadata(volume, {}, options);
  ASSERT_TRUE(container) << name << ": " << container.error().display();
  const auto decoded = decode(*container, decode_options());
  ASSERT_TRUE(decoded) << name << ": " << decoded.error().display();
  EXPECT_EQ(decoded->samples, volume.samples) << name;
  EXPECT_EQ(decoded->bits, volume.bits) << name;
  EXPECT_EQ(decoded->is_signed, volume.is_signed) << name;
}

TEST(Codec, RoundTripsVolumesOfEveryFormatAndShape) {
  struct Case {
    const char* name;
    std::uint64_t slices, rows, columns;
    std::uint8_t bits;
    bool is_signed;
    std::uint16_t slab, stripe;
  };
  const Case cases[] = {
      {"one sample", 1, 1, 1, 8, false, 32, 512},
      {"one row", 1, 1, 40, 12, false, 32, 512},
      {"one column", 3, 40, 1, 16, true, 32, 512},
      {"1 bit", 2, 9, 9, 1, false, 32, 512},
      {"signed 1 bit", 2, 9, 9, 1, true, 32, 512},
      {"odd 3-D tiles", 7, 13, 11, 10, false, 3, 5},
      {"slab 1", 4, 6, 7, 16, false, 1, 4},
      {"signed 16", 5, 17, 19, 16, true, 32, 512},
      {"unsigned 16", 3, 21, 18, 16, false, 2, 8},
  };
  for (const Case& c : cases) {
    EncodeOptions options = builtin_options();
    options.slab = c.slab;
    options.stripe = c.stripe;
    expect_round_trip(textured(c.slices, c.rows, c.columns, c.bits, c.is_signed, 1), options, c.name);
  }
}

TEST(Codec, RoundTripsConstantAndSparseVolumes) {
  for (std::int32_t value : {0, 255}) {
    const auto constant = Volume::create(3, 10, 10, 8, false, std::vector<std::int32_t>(300, value));
    expect_round_trip(*constant, builtin_options(), "constant");
  }
  std::vector<std::int32_t> sparse(2 * 20 * 20);
  for (std::size_t i = 0; i < sparse.size(); ++i) sparse[i] = static_cast<std::int32_t>((i * 7919 % 5) * 16000);
  const auto volume = Volume::create(2, 20, 20, 16, false, sparse);
  for (bool packing : {true, false}) {
    EncodeOptions options = builtin_options();
    options.packing = packing;
    expect_round_trip(*volume, options, packing ? "sparse packed" : "sparse plain");
    const auto header = Header::parse(*encode_with_metadata(*volume, {}, options), ~0ull);
    EXPECT_EQ(header->packing_stream.empty(), !packing);
  }
}

TEST(Codec, ContainerBytesDoNotDependOnThreads) {
  const Volume volume = textured(9, 40, 33, 12, false, 5);
  EncodeOptions options = builtin_options();
  options.slab = 4;
  options.stripe = 16;
  const auto reference = encode_with_metadata(volume, {}, options);
  for (std::optional<std::uint64_t> threads : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{2},
                                               std::optional<std::uint64_t>{0}, std::optional<std::uint64_t>{8}}) {
    options.threads = threads;
    EXPECT_EQ(encode_with_metadata(volume, {}, options), reference);
    const auto decoded = decode(*reference, decode_options(true, threads));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->samples, volume.samples);
  }
}

TEST(Codec, MetadataChangesOnlyTheHeaderFieldsThatDescribeIt) {
  const Volume volume = textured(2, 8, 8, 8, false, 9);
  const std::vector<std::uint8_t> metadata = {'a', 'b', 'c'};
  const auto plain = *encode_with_metadata(volume, {}, builtin_options());
  const auto with = *encode_with_metadata(volume, metadata, builtin_options());
  const auto h1 = *Header::parse(plain, ~0ull);
  const auto h2 = *Header::parse(with, ~0ull);
  EXPECT_EQ(h2.metadata, metadata);
  EXPECT_EQ(h1.tiles, h2.tiles);
  EXPECT_TRUE(std::equal(plain.begin() + static_cast<std::ptrdiff_t>(h1.stream_start), plain.end(),
                         with.begin() + static_cast<std::ptrdiff_t>(h2.stream_start), with.end()));
}

TEST(Codec, EncoderRefusesBadRequests) {
  const Volume volume = textured(1, 2, 2, 8, false, 1);
  const std::vector<std::uint8_t> at_limit(kMaxMetadataBytes), over(kMaxMetadataBytes + 1);
  EXPECT_TRUE(encode_with_metadata(volume, at_limit, builtin_options()));
  EXPECT_EQ(encode_with_metadata(volume, over, builtin_options()).error().display(),
            "invalid volume: metadata larger than 16 MiB");
  for (auto [slab, stripe] : {std::pair{0, 5}, std::pair{5, 0}}) {
    EncodeOptions options = builtin_options();
    options.slab = static_cast<std::uint16_t>(slab);
    options.stripe = static_cast<std::uint16_t>(stripe);
    EXPECT_EQ(encode_with_metadata(volume, {}, options).error().display(),
              "invalid volume: tile dimensions must be positive");
  }
  EncodeOptions swapped = builtin_options();
  std::swap(swapped.model_2d, swapped.model_3d);
  EXPECT_EQ(encode_with_metadata(volume, {}, swapped).error().kind, ErrorKind::Model);
}

// Rewrites the header CRC after a deliberate change to the header.
void reseal(std::vector<std::uint8_t>& container) {
  const std::uint32_t header_length = load_le<std::uint32_t>(container.data() + 40);
  const std::size_t crc_at = 44 + header_length - 4;
  std::vector<std::uint8_t> crc;
  store_le<std::uint32_t>(crc, crc32c(std::span(container).first(crc_at)));
  std::copy(crc.begin(), crc.end(), container.begin() + static_cast<std::ptrdiff_t>(crc_at));
}

TEST(Codec, DecoderReportsEachDamage) {
  const Volume volume = textured(4, 12, 10, 12, false, 3);
  EncodeOptions options = builtin_options();
  options.slab = 2;
  options.stripe = 6;  // four tiles
  const auto good = *encode_with_metadata(volume, {}, options);
  const Header header = *Header::parse(good, ~0ull);
  ASSERT_EQ(header.tiles.size(), 4u);
  const std::size_t area = header.stream_start;
  auto tile_byte = [&](std::size_t tile) { return area + header.tiles[tile].offset + header.tiles[tile].length / 2; };
  const std::size_t table = area - 4 - 20 * header.tiles.size();

  struct Case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::string message;
  };
  const Case cases[] = {
      {"cut inside the streams", [&](auto& b) { b.pop_back(); }, "container is truncated"},
      {"stream byte", [&](auto& b) { b[tile_byte(2)] ^= 0x40; }, "checksum mismatch in stream of tile 2"},
      {"two streams", [&](auto& b) { b[tile_byte(3)] ^= 1; b[tile_byte(1)] ^= 1; }, "checksum mismatch in stream of tile 1"},
      {"samples crc", [&](auto& b) { b[table + 20 * 2 + 16] ^= 1; reseal(b); }, "checksum mismatch in samples of tile 2"},
      {"volume digest", [&](auto& b) { b[80] ^= 1; reseal(b); }, "checksum mismatch in volume SHA-256"},
      {"unknown model", [&](auto& b) { b[60] ^= 1; reseal(b); },
       "model " + [&] { auto id = header.model_3d; id.bytes[0] ^= 1; return id.text(); }() + " is not available"},
      {"models in the wrong roles", [&](auto& b) {
         std::swap_ranges(b.begin() + 44, b.begin() + 60, b.begin() + 60);
         reseal(b);
       }, "corrupt container: model kinds do not match their roles"},
  };
  for (const Case& c : cases) {
    auto bytes = good;
    c.damage(bytes);
    const auto decoded = decode(bytes, decode_options());
    ASSERT_FALSE(decoded) << c.name;
    EXPECT_EQ(decoded.error().display(), c.message) << c.name;
  }

  auto altered_digest = good;
  altered_digest[80] ^= 1;
  reseal(altered_digest);
  EXPECT_TRUE(decode(altered_digest, decode_options(false)));

  auto trailing = good;
  trailing.push_back(0x77);
  EXPECT_EQ(decode(trailing, decode_options())->samples, volume.samples);
}

// The container's only stream replaced by `stream`, with its table entry and the header CRC updated.
std::vector<std::uint8_t> with_stream(std::vector<std::uint8_t> bytes, std::vector<std::uint8_t> stream) {
  const Header header = *Header::parse(bytes, ~0ull);
  bytes.resize(header.stream_start);
  bytes.insert(bytes.end(), stream.begin(), stream.end());
  const std::size_t entry = header.stream_start - 4 - 20;
  std::vector<std::uint8_t> fields;
  store_le<std::uint32_t>(fields, static_cast<std::uint32_t>(stream.size()));
  store_le<std::uint32_t>(fields, crc32c(stream));
  std::copy(fields.begin(), fields.end(), bytes.begin() + static_cast<std::ptrdiff_t>(entry + 8));
  reseal(bytes);
  return bytes;
}

TEST(Codec, StreamsThatDoNotEndWhereExpected) {
  const Volume volume = textured(2, 40, 40, 12, false, 4);
  const auto good = *encode_with_metadata(volume, {}, builtin_options());
  const Header header = *Header::parse(good, ~0ull);
  const std::vector<std::uint8_t> stream(good.begin() + static_cast<std::ptrdiff_t>(header.stream_start), good.end());
  auto extended = stream;
  extended.push_back(0);
  // Cut short, the decoder runs out of bytes early and stops there rather than decoding zeros.
  const std::vector<std::uint8_t> halved(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
  for (const auto& damaged : {extended, halved}) {
    const auto decoded = decode(with_stream(good, damaged), decode_options());
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().display(), "corrupt container: tile stream does not end where expected");
  }
}


// Writes a tile stream whose first residual is replaced by whatever `forge` writes; everything
// before it (the first code, a missed run) is coded as the real encoder would.
class ForgingPass {
 public:
  using Forge = std::function<void(entropy::Encoder&, CoderState&, const ResidualContext&)>;
  ForgingPass(std::uint32_t first, Forge forge) : first_(first), forge_(std::move(forge)) {}

  std::int32_t first(unsigned bits) {
    encoder_.encode_bypass(first_, bits);
    return 0;
  }
  void row(const Work&, const Model&) {}
  bool run(CoderState& state, unsigned context, std::int32_t, std::size_t) {
    encoder_.encode_bit(state.run_contexts[context], true);
    return false;
  }
  std::int32_t sample(CoderState& state, const ResidualContext& where, const LocalValues&, std::size_t index) {
    if (index == 0) forge_(encoder_, state, where);
    else encode_residual(encoder_, state, where, 0);
    return 0;
  }
  void emit(std::size_t, std::int32_t) {}
  bool exhausted() const { return false; }
  std::vector<std::uint8_t> finish() && { return std::move(encoder_).finish(); }

 private:
  entropy::Encoder encoder_{16};
  std::uint32_t first_;
  Forge forge_;
};

TEST(Codec, ForgedResidualsAreCaught) {
  // Two samples, codes 0..100 (no packing table), one tile.
  EncodeOptions options = builtin_options();
  options.packing = false;
  const auto good = *encode_with_metadata(*Volume::create(1, 1, 2, 8, false, {0, 100}), {}, options);
  const Model& model_2d = ModelSet::builtin().model_2d;
  const auto escape = [](std::uint32_t exponent, bool sign) {
    return [=](entropy::Encoder& e, CoderState& state, const ResidualContext& where) {
      TokenModel& model = state.token_models[where.token_model];
      e.encode_symbol(model.bounds().data(), 15);
      model.adapt(15);
      e.encode_bypass(exponent, kExponentBits);
      e.encode_bypass(0, std::min(exponent, 20u));
      e.encode_bypass(0, where.low_bits);
      e.encode_bit(state.sign_contexts[where.sign_context()], sign);
    };
  };
  struct Case {
    const char* name;
    std::uint32_t first;
    ForgingPass::Forge forge;
    std::string message;
  };
  const Case cases[] = {
      {"first code above max_code", 127, escape(0, false), "corrupt container: first sample outside the value range"},
      {"escape exponent 21", 0, escape(21, false), "corrupt container: residual escape out of range"},
      {"escape past max_code", 0, escape(20, false), "corrupt container: decoded sample outside the value range"},
      {"negative code", 0, escape(3, true), "corrupt container: decoded sample outside the value range"},
  };
  for (const Case& c : cases) {
    ForgingPass pass(c.first, c.forge);
    code_tile(pass, TileShape{1, 1, 2}, model_2d, ModelSet::builtin().model_3d, 100);
    const auto decoded = decode(with_stream(good, std::move(pass).finish()), decode_options());
    ASSERT_FALSE(decoded) << c.name;
    EXPECT_EQ(decoded.error().display(), c.message) << c.name;
  }
}


TEST(Codec, ShortContainersDeclaringHugeVolumesFailWithoutReservingThem) {
  // 180 bytes declaring 2^32 and 2^34 samples in three empty tile streams: nothing of that size
  // may be allocated or decoded.
  for (std::uint32_t side : {65536u, 131072u}) {
    Header header;
    header.slices = 1;
    header.rows = header.columns = side;
    header.bits = 8;
    header.max_code = 255;
    header.slab = header.stripe = 65535;
    header.model_2d = ModelSet::builtin().model_2d.id;
    header.model_3d = ModelSet::builtin().model_3d.id;
    header.tiles.assign(tile_count(1, side, 65535, 65535), TileEntry{0, 0, crc32c({}), 0});
    std::vector<std::uint8_t> bytes;
    header.write(bytes);
    const auto decoded = decode(bytes, decode_options(true, std::nullopt));
    ASSERT_FALSE(decoded) << side;
    EXPECT_EQ(decoded.error().display(), "corrupt container: tile stream does not end where expected") << side;
  }
}

TEST(Codec, StreamBoundAdmitsTheCheapestRealTiles) {
  // A constant tile is nothing but run hits, the cheapest samples there are.
  const auto volume = Volume::create(2, 512, 512, 8, false, std::vector<std::int32_t>(2 * 512 * 512, 7));
  EncodeOptions options = builtin_options();
  const auto container = *encode_with_metadata(*volume, {}, options);
  const Header header = *Header::parse(container, ~0ull);
  EXPECT_TRUE(stream_can_hold(header.tiles[0].length, 2 * 512 * 512));
  EXPECT_EQ(decode(container, decode_options())->samples, volume->samples);
}

}  // namespace
}  // namespace qelvo::codec
