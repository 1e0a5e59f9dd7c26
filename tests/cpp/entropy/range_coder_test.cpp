#include "entropy/range_coder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qelvo::entropy {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::array<std::uint32_t, 16> uniform_table() {
  std::array<std::uint32_t, 16> c{};
  for (std::uint32_t k = 0; k < 16; ++k) c[k] = 2048 * k;
  return c;
}

// The bounds of the tile coder: C[k] = ((cdf[k] × 32752) >> 15) + k, from a random
// non-decreasing cdf with cdf[0] = 0 and cdf[15] <= 32768.
std::array<std::uint32_t, 16> random_table(std::mt19937& rng) {
  std::array<std::uint32_t, 16> cdf{};
  std::uniform_int_distribution<std::uint32_t> value(0, 32768);
  for (std::size_t k = 1; k < 16; ++k) cdf[k] = value(rng);
  std::sort(cdf.begin() + 1, cdf.end());
  std::array<std::uint32_t, 16> c{};
  for (std::uint32_t k = 0; k < 16; ++k) c[k] = ((cdf[k] * 32752) >> 15) + k;
  return c;
}

TEST(RangeCoder, FreshEncoderFinishesWithFourZeroBytes) {
  const Bytes out = Encoder(16).finish();
  EXPECT_EQ(out, (Bytes{0, 0, 0, 0}));
  Decoder decoder(out);
  EXPECT_EQ(decoder.position(), 4u);
  EXPECT_EQ(decoder.overrun(), 0u);
}

TEST(RangeCoder, ZeroBypassBitsCodeNothing) {
  Encoder encoder(0);
  encoder.encode_bypass(0xFFFFFFFF, 0);
  const Bytes out = std::move(encoder).finish();
  EXPECT_EQ(out, (Bytes{0, 0, 0, 0}));
  Decoder decoder(out);
  EXPECT_EQ(decoder.decode_bypass(0), 0u);
  EXPECT_EQ(decoder.position(), 4u);
  EXPECT_EQ(decoder.overrun(), 0u);
}

TEST(RangeCoder, ThirtyTwoBypassBitsAreScaledNotCopied) {
  Encoder encoder(8);
  encoder.encode_bypass(0x12345678, 32);
  const Bytes out = std::move(encoder).finish();
  EXPECT_EQ(out, (Bytes{0x12, 0x34, 0x44, 0x43, 0xA9, 0x88, 0x00, 0x00}));
  Decoder decoder(out);
  EXPECT_EQ(decoder.decode_bypass(32), 0x12345678u);
  EXPECT_EQ(decoder.position(), out.size());
  EXPECT_EQ(decoder.overrun(), 0u);
}

TEST(RangeCoder, MoreThanThirtyTwoBypassBitsIsAnInternalError) {
  Encoder encoder(8);
  try {
    encoder.encode_bypass(0, 33);
    FAIL() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "at most 32 bypass bits per call");
  }
  const Bytes zeros{0, 0, 0, 0};
  Decoder decoder(zeros);
  try {
    decoder.decode_bypass(33);
    FAIL() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "at most 32 bypass bits per call");
  }
}

// 8-bit chunks 12 00 00 12 00 00 ... keep the interval straddling the point 0.12 (in base 256),
// so the encoder holds back one 0xFF byte per chunk. The final chunk decides whether the run
// is written as 0xFF bytes or carried into 0x00 bytes with the byte before it incremented.
Bytes straddling_stream(std::size_t groups, bool carry) {
  std::vector<std::uint32_t> chunks;
  for (std::size_t i = 0; i < groups; ++i) chunks.insert(chunks.end(), {0x12, 0x00, 0x00});
  if (carry) chunks.back() = 0x01;
  Encoder encoder(chunks.size() + 4);
  for (std::uint32_t c : chunks) encoder.encode_bypass(c, 8);
  Bytes out = std::move(encoder).finish();
  Decoder decoder(out);
  for (std::uint32_t c : chunks) EXPECT_EQ(decoder.decode_bypass(8), c);
  EXPECT_EQ(decoder.position(), out.size());
  EXPECT_EQ(decoder.overrun(), 0u);
  return out;
}

TEST(RangeCoder, HeldBackRunWithoutCarryIsWrittenAsFF) {
  EXPECT_EQ(straddling_stream(4, false),
            (Bytes{0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE, 0, 0, 0}));
}

TEST(RangeCoder, CarryTurnsHeldBackRunIntoZerosAndIncrementsTheByteBefore) {
  EXPECT_EQ(straddling_stream(4, true),
            (Bytes{0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xED, 0xFF, 0xFF, 0x00}));
}

TEST(RangeCoder, LongRunsOfHeldBackBytes) {
  for (bool carry : {false, true}) {
    const std::size_t groups = 100;  // a run of 299 held-back bytes
    const Bytes out = straddling_stream(groups, carry);
    Bytes expected;
    expected.push_back(carry ? 0x12 : 0x11);
    expected.insert(expected.end(), 3 * groups - 1, carry ? 0x00 : 0xFF);
    if (carry) {
      expected.insert(expected.end(), {0xED, 0xFF, 0xFF, 0x00});
    } else {
      expected.insert(expected.end(), {0xEE, 0x00, 0x00, 0x00});
    }
    EXPECT_EQ(out, expected) << "carry " << carry;
  }
}

// Bytes computed by an independent model of the coder for a fixed mix of all three kinds of events.
TEST(RangeCoder, KnownAnswerForMixedEvents) {
  const std::array<std::uint32_t, 16> uniform = uniform_table();
  const std::uint32_t skewed[16] = {0, 1, 2, 3, 100, 200, 1000, 5000, 9000, 16000, 20000, 25000, 30000, 32000, 32766, 32767};
  const bool bits_a[] = {0, 1, 1, 0, 0, 0, 1, 0, 1, 1, 1, 1, 0, 0, 0, 0};
  const bool bits_b[] = {0, 1, 1, 1, 1, 1, 1, 1, 0};
  const unsigned symbols_a[] = {0, 15, 7, 3, 14, 1};
  const unsigned symbols_b[] = {0, 1, 2, 3, 15, 14, 13, 0, 15};

  Encoder encoder(64);
  BitContext a = BitContext::from_prior(16384);
  BitContext b = BitContext::from_prior(100);
  for (bool bit : bits_a) encoder.encode_bit(a, bit);
  for (bool bit : bits_b) encoder.encode_bit(b, bit);
  for (unsigned s : symbols_a) encoder.encode_symbol(uniform.data(), s);
  for (unsigned s : symbols_b) encoder.encode_symbol(skewed, s);
  encoder.encode_bypass(0xABCDE, 20);
  encoder.encode_bypass(1, 1);
  encoder.encode_bypass(0xFFFFFFFF, 32);
  const Bytes out = std::move(encoder).finish();
  const Bytes expected = {0x63, 0xfd, 0x0e, 0xae, 0x91, 0xcd, 0x4e, 0x0a, 0x80, 0x00, 0x0d, 0x6a, 0x35, 0xbc, 0xf5, 0x9f,
                          0xff, 0x5a, 0xe6, 0x1b, 0x89, 0xfb, 0x0a, 0x7d, 0x26, 0xbf, 0xff, 0xff, 0x87, 0x60, 0x00, 0x00};
  EXPECT_EQ(out, expected);
  EXPECT_EQ(a, (BitContext{9376994, 8517805}));
  EXPECT_EQ(b, (BitContext{1702926, 301887}));

  Decoder decoder(out);
  BitContext da = BitContext::from_prior(16384);
  BitContext db = BitContext::from_prior(100);
  for (bool bit : bits_a) EXPECT_EQ(decoder.decode_bit(da), bit);
  for (bool bit : bits_b) EXPECT_EQ(decoder.decode_bit(db), bit);
  for (unsigned s : symbols_a) EXPECT_EQ(decoder.decode_symbol(uniform.data()), s);
  for (unsigned s : symbols_b) EXPECT_EQ(decoder.decode_symbol(skewed), s);
  EXPECT_EQ(decoder.decode_bypass(20), 0xABCDEu);
  EXPECT_EQ(decoder.decode_bypass(1), 1u);
  EXPECT_EQ(decoder.decode_bypass(32), 0xFFFFFFFFu);
  EXPECT_EQ(decoder.position(), out.size());
  EXPECT_EQ(decoder.overrun(), 0u);
  EXPECT_EQ(da, a);
  EXPECT_EQ(db, b);
}

TEST(RangeCoder, AllOnesBypassChunksTakeTheRestOfTheRange) {
  for (std::uint32_t n = 1; n <= 32; ++n) {
    const std::uint32_t ones = n == 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << n) - 1;
    Encoder encoder(64);
    for (int i = 0; i < 5; ++i) encoder.encode_bypass(ones, n);
    encoder.encode_bypass(0, n);
    encoder.encode_bypass(ones, n);
    const Bytes out = std::move(encoder).finish();
    Decoder decoder(out);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(decoder.decode_bypass(n), ones) << n;
    EXPECT_EQ(decoder.decode_bypass(n), 0u) << n;
    EXPECT_EQ(decoder.decode_bypass(n), ones) << n;
    EXPECT_EQ(decoder.position(), out.size()) << n;
    EXPECT_EQ(decoder.overrun(), 0u) << n;
  }
}

TEST(BitContext, FromPriorScalesAndClamps) {
  EXPECT_EQ(BitContext::from_prior(16384), (BitContext{1u << 23, 1u << 23}));
  EXPECT_EQ(BitContext::from_prior(1), (BitContext{512, 512}));
  EXPECT_EQ(BitContext::from_prior(0), (BitContext{512, 512}));
  EXPECT_EQ(BitContext::from_prior(32767), (BitContext{32767u << 9, 32767u << 9}));
  EXPECT_EQ(BitContext::from_prior(40000), (BitContext{32767u << 9, 32767u << 9}));
  EXPECT_EQ(BitContext::from_prior(16384).probability(), 16384u);
}

TEST(BitContext, ProbabilityIsNeverZeroOrOne) {
  EXPECT_EQ((BitContext{1u << 24, 1u << 24}).probability(), 32767u);
  EXPECT_EQ((BitContext{0, 0}).probability(), 1u);
  EXPECT_EQ((BitContext{1023, 0}).probability(), 1u);
  EXPECT_EQ((BitContext{1024, 0}).probability(), 1u);
  EXPECT_EQ((BitContext{2048, 0}).probability(), 2u);
  EXPECT_EQ((BitContext{(1u << 24) - 1024, 1u << 24}).probability(), 32767u);

  // Adapting towards either end keeps both estimates within 0 ..= 2^24 and the probability clamped.
  BitContext zeros = BitContext::from_prior(16384);
  BitContext ones = zeros;
  for (int i = 0; i < 10000; ++i) {
    zeros.adapt(false);
    ones.adapt(true);
    ASSERT_LE(zeros.fast, 1u << 24);
    ASSERT_LE(zeros.slow, 1u << 24);
  }
  EXPECT_EQ(zeros.probability(), 32767u);
  EXPECT_EQ(ones.probability(), 1u);
}

TEST(BitContext, AdaptsWithRatesFourAndSeven) {
  BitContext c = BitContext::from_prior(16384);
  c.adapt(false);
  EXPECT_EQ(c, (BitContext{(1u << 23) + (1u << 19), (1u << 23) + (1u << 16)}));
  c.adapt(true);
  const std::uint32_t fast = (1u << 23) + (1u << 19);
  const std::uint32_t slow = (1u << 23) + (1u << 16);
  EXPECT_EQ(c, (BitContext{fast - (fast >> 4), slow - (slow >> 7)}));
}

TEST(RangeCoder, ExtremeContextsRoundTrip) {
  // Long runs of likely and unlikely bits at both clamped ends.
  std::mt19937 rng(7);
  std::vector<bool> bits;
  for (int i = 0; i < 3000; ++i) bits.push_back(i % 500 == 499);
  for (int i = 0; i < 3000; ++i) bits.push_back(i % 700 != 699);
  for (int i = 0; i < 500; ++i) bits.push_back(rng() & 1);
  Encoder encoder(1024);
  BitContext c = BitContext::from_prior(1);
  for (bool bit : bits) encoder.encode_bit(c, bit);
  const Bytes out = std::move(encoder).finish();
  Decoder decoder(out);
  BitContext d = BitContext::from_prior(1);
  for (std::size_t i = 0; i < bits.size(); ++i) ASSERT_EQ(decoder.decode_bit(d), bits[i]) << i;
  EXPECT_EQ(decoder.position(), out.size());
  EXPECT_EQ(decoder.overrun(), 0u);
}

// One coded event of a random sequence.
struct Event {
  enum Kind { Bit, Bypass, Symbol } kind;
  std::uint32_t value;    // the bit, the bypass value or the symbol
  std::uint32_t n;        // bypass bit count
  std::size_t selector;   // which context or table
};

struct Script {
  std::vector<Event> events;
  std::vector<std::uint32_t> priors;
  std::vector<std::array<std::uint32_t, 16>> tables;
};

Script random_script(std::uint32_t seed, std::size_t count) {
  std::mt19937 rng(seed);
  Script script;
  const std::uint32_t edge_priors[] = {0, 1, 2, 16384, 32766, 32767};
  for (std::uint32_t p : edge_priors) script.priors.push_back(p);
  for (int i = 0; i < 10; ++i) script.priors.push_back(std::uniform_int_distribution<std::uint32_t>(1, 32767)(rng));
  script.tables.push_back(uniform_table());
  for (int i = 0; i < 6; ++i) script.tables.push_back(random_table(rng));
  // A table that gives symbol 0 almost all of the range and one that gives it to symbol 15.
  std::array<std::uint32_t, 16> top{};
  std::array<std::uint32_t, 16> bottom{};
  for (std::uint32_t k = 0; k < 16; ++k) {
    top[k] = k == 0 ? 0 : 32752 + k;
    bottom[k] = k;
  }
  script.tables.push_back(top);
  script.tables.push_back(bottom);

  // Each context has a skewed source so that adaptation matters.
  std::vector<double> p_one(script.priors.size());
  for (double& p : p_one) p = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  p_one[0] = 0.0005;
  p_one[1] = 0.9995;

  for (std::size_t i = 0; i < count; ++i) {
    Event e{};
    const std::uint32_t kind = rng() % 10;
    if (kind < 6) {
      e.kind = Event::Bit;
      e.selector = rng() % script.priors.size();
      e.value = std::bernoulli_distribution(p_one[e.selector])(rng);
    } else if (kind < 8) {
      e.kind = Event::Bypass;
      e.n = rng() % 33;
      std::uint32_t v = rng();
      switch (rng() % 4) {
        case 0: v = 0xFFFFFFFF; break;  // all-ones chunks
        case 1: v = 0; break;
        default: break;
      }
      e.value = e.n == 32 ? v : v & ((std::uint32_t{1} << e.n) - 1);
    } else {
      e.kind = Event::Symbol;
      e.selector = rng() % script.tables.size();
      e.value = rng() % 4 == 0 ? 15 : rng() % 16;
    }
    script.events.push_back(e);
  }
  return script;
}

Bytes encode_script(const Script& script) {
  Encoder encoder(script.events.size());
  std::vector<BitContext> contexts;
  for (std::uint32_t p : script.priors) contexts.push_back(BitContext::from_prior(p));
  for (const Event& e : script.events) {
    switch (e.kind) {
      case Event::Bit: encoder.encode_bit(contexts[e.selector], e.value != 0); break;
      case Event::Bypass: encoder.encode_bypass(e.value, e.n); break;
      case Event::Symbol: encoder.encode_symbol(script.tables[e.selector].data(), e.value); break;
    }
  }
  return std::move(encoder).finish();
}

// Decodes the script's calls; returns the index of the first mismatch or the event count.
std::size_t decode_script(const Script& script, Decoder& decoder) {
  std::vector<BitContext> contexts;
  for (std::uint32_t p : script.priors) contexts.push_back(BitContext::from_prior(p));
  for (std::size_t i = 0; i < script.events.size(); ++i) {
    const Event& e = script.events[i];
    std::uint32_t got = 0;
    switch (e.kind) {
      case Event::Bit: got = decoder.decode_bit(contexts[e.selector]); break;
      case Event::Bypass: got = decoder.decode_bypass(e.n); break;
      case Event::Symbol: got = decoder.decode_symbol(script.tables[e.selector].data()); break;
    }
    if (got != e.value) return i;
  }
  return script.events.size();
}

TEST(RangeCoder, RandomMixedSequencesRoundTrip) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    const Script script = random_script(seed, 200 + seed * 150);
    const Bytes out = encode_script(script);
    Decoder decoder(out);
    EXPECT_EQ(decode_script(script, decoder), script.events.size()) << "seed " << seed;
    EXPECT_EQ(decoder.position(), out.size()) << "seed " << seed;
    EXPECT_EQ(decoder.overrun(), 0u) << "seed " << seed;
  }
}

TEST(RangeCoder, TruncatedAndExtendedStreamsAreVisibleAtTheEnd) {
  for (std::uint32_t seed = 100; seed < 110; ++seed) {
    const Script script = random_script(seed, 500);
    const Bytes out = encode_script(script);
    ASSERT_GT(out.size(), 4u);

    Bytes truncated(out.begin(), out.end() - 1);
    Decoder short_decoder(truncated);
    decode_script(script, short_decoder);
    EXPECT_GE(short_decoder.overrun(), 1u) << "seed " << seed;

    Bytes extended = out;
    extended.push_back(0x5A);
    Decoder long_decoder(extended);
    EXPECT_EQ(decode_script(script, long_decoder), script.events.size()) << "seed " << seed;
    EXPECT_LT(long_decoder.position(), extended.size()) << "seed " << seed;
    EXPECT_EQ(long_decoder.overrun(), 0u) << "seed " << seed;
  }
}

TEST(RangeCoder, ShortStreamsReadAsZeros) {
  const Bytes empty;
  Decoder decoder(empty);
  EXPECT_EQ(decoder.position(), 0u);
  EXPECT_EQ(decoder.overrun(), 4u);
  const Bytes two{0x12, 0x34};
  Decoder partial(two);
  EXPECT_EQ(partial.position(), 2u);
  EXPECT_EQ(partial.overrun(), 2u);
}

TEST(RangeCoder, MismatchedCallsDoNotCrash) {
  const Script script = random_script(55, 2000);
  const Bytes out = encode_script(script);
  Decoder decoder(out);
  BitContext c = BitContext::from_prior(3);
  const std::array<std::uint32_t, 16> table = uniform_table();
  std::size_t sum = 0;
  for (int i = 0; i < 5000; ++i) {
    sum += decoder.decode_symbol(table.data());
    sum += decoder.decode_bit(c);
    sum += decoder.decode_bypass(static_cast<std::uint32_t>(i % 33));
  }
  EXPECT_GT(decoder.overrun(), 0u);
  (void)sum;
}

}  // namespace
}  // namespace qelvo::entropy
