// Range-coder decisions/s, single-threaded: adaptive bits (several contexts, skewed sources),
// 16-symbol tables with the tile coder's bound formula, and bypass bits. Encoding and decoding
// are timed separately; every decode is checked against what was encoded.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "entropy/range_coder.hpp"

using qelvo::entropy::BitContext;
using qelvo::entropy::Decoder;
using qelvo::entropy::Encoder;

namespace {

constexpr std::size_t kEvents = 1 << 20;
constexpr std::size_t kContexts = 64;

void report(const char* what, double rate, std::size_t bytes, std::size_t events, double bits_per_event_unit) {
  std::printf("  %-22s %8.1f M/s  (%5.2f ns each, %.3f bits each)\n", what, rate / 1e6, 1e9 / rate,
              8.0 * static_cast<double>(bytes) / static_cast<double>(events) / bits_per_event_unit);
}

}  // namespace

int main() {
  std::mt19937 rng(42);
  std::printf("range coder, %zu events per run, single thread\n", kEvents);

  // Adaptive bits: context i has P(1) = (i + 1) / 130, so the mix is skewed but not trivial.
  {
    std::vector<std::uint8_t> context_of(kEvents);
    std::vector<std::uint8_t> bits(kEvents);
    for (std::size_t i = 0; i < kEvents; ++i) {
      context_of[i] = static_cast<std::uint8_t>(rng() % kContexts);
      bits[i] = std::bernoulli_distribution((context_of[i] + 1) / 130.0)(rng);
    }
    auto fresh = [] {
      std::array<BitContext, kContexts> c;
      c.fill(BitContext::from_prior(16384));
      return c;
    };
    std::vector<std::uint8_t> stream;
    const double enc = qelvo::bench::best_rate(kEvents, [&] {
      auto contexts = fresh();
      Encoder encoder(kEvents / 4);
      for (std::size_t i = 0; i < kEvents; ++i) encoder.encode_bit(contexts[context_of[i]], bits[i] != 0);
      stream = std::move(encoder).finish();
    });
    bool ok = true;
    const double dec = qelvo::bench::best_rate(kEvents, [&] {
      auto contexts = fresh();
      Decoder decoder(stream);
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < kEvents; ++i) mismatches += decoder.decode_bit(contexts[context_of[i]]) != (bits[i] != 0);
      ok = ok && mismatches == 0 && decoder.position() == stream.size() && decoder.overrun() == 0;
    });
    if (!ok) return std::fprintf(stderr, "adaptive bits did not round-trip\n"), 1;
    report("adaptive bit encode", enc, stream.size(), kEvents, 1);
    report("adaptive bit decode", dec, stream.size(), kEvents, 1);
  }

  // Symbols: 20 tables of C[k] = ((cdf[k] × 32752) >> 15) + k from geometric-ish distributions,
  // symbols drawn from them.
  {
    constexpr std::size_t kTables = 20;
    std::vector<std::array<std::uint32_t, 16>> tables(kTables);
    std::vector<std::discrete_distribution<unsigned>> sources;
    for (std::size_t t = 0; t < kTables; ++t) {
      std::array<double, 16> p{};
      double total = 0;
      const double decay = 0.35 + 0.03 * static_cast<double>(t);
      for (std::size_t k = 0; k < 16; ++k) total += p[k] = std::max(1e-3, std::pow(decay, static_cast<double>(k)));
      double acc = 0;
      for (std::size_t k = 0; k < 16; ++k) {
        const auto cdf = static_cast<std::uint32_t>(acc / total * 32768.0);
        tables[t][k] = ((cdf * 32752) >> 15) + static_cast<std::uint32_t>(k);
        acc += p[k];
      }
      sources.emplace_back(p.begin(), p.end());
    }
    std::vector<std::uint8_t> table_of(kEvents), symbols(kEvents);
    for (std::size_t i = 0; i < kEvents; ++i) {
      table_of[i] = static_cast<std::uint8_t>(rng() % kTables);
      symbols[i] = static_cast<std::uint8_t>(sources[table_of[i]](rng));
    }
    std::vector<std::uint8_t> stream;
    const double enc = qelvo::bench::best_rate(kEvents, [&] {
      Encoder encoder(kEvents);
      for (std::size_t i = 0; i < kEvents; ++i) encoder.encode_symbol(tables[table_of[i]].data(), symbols[i]);
      stream = std::move(encoder).finish();
    });
    bool ok = true;
    const double dec = qelvo::bench::best_rate(kEvents, [&] {
      Decoder decoder(stream);
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < kEvents; ++i) mismatches += decoder.decode_symbol(tables[table_of[i]].data()) != symbols[i];
      ok = ok && mismatches == 0 && decoder.position() == stream.size() && decoder.overrun() == 0;
    });
    if (!ok) return std::fprintf(stderr, "symbols did not round-trip\n"), 1;
    report("symbol encode", enc, stream.size(), kEvents, 1);
    report("symbol decode", dec, stream.size(), kEvents, 1);
  }

  // Bypass bits: calls of 1..16 bits (the tile coder's low bits and escapes).
  {
    std::vector<std::uint8_t> counts(kEvents);
    std::vector<std::uint32_t> values(kEvents);
    std::size_t total_bits = 0;
    for (std::size_t i = 0; i < kEvents; ++i) {
      counts[i] = static_cast<std::uint8_t>(1 + rng() % 16);
      values[i] = rng() & ((1u << counts[i]) - 1);
      total_bits += counts[i];
    }
    std::vector<std::uint8_t> stream;
    const double enc = qelvo::bench::best_rate(kEvents, [&] {
      Encoder encoder(total_bits / 8 + 8);
      for (std::size_t i = 0; i < kEvents; ++i) encoder.encode_bypass(values[i], counts[i]);
      stream = std::move(encoder).finish();
    });
    bool ok = true;
    const double dec = qelvo::bench::best_rate(kEvents, [&] {
      Decoder decoder(stream);
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < kEvents; ++i) mismatches += decoder.decode_bypass(counts[i]) != values[i];
      ok = ok && mismatches == 0 && decoder.position() == stream.size() && decoder.overrun() == 0;
    });
    if (!ok) return std::fprintf(stderr, "bypass bits did not round-trip\n"), 1;
    const double bits_per_call = static_cast<double>(total_bits) / kEvents;
    report("bypass call encode", enc, stream.size(), kEvents, bits_per_call);
    report("bypass call decode", dec, stream.size(), kEvents, bits_per_call);
    std::printf("  (bypass calls carry %.2f bits on average; 'bits each' there is per coded bit)\n", bits_per_call);
  }
  return 0;
}
