#include "codec/checksum.hpp"

#include <cstring>

#include <nmmintrin.h>

#include "common/internal_error.hpp"

namespace qelvo::codec {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78;

constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr auto kTable = make_table();

__attribute__((target("sse4.2"))) std::uint32_t hardware_update(std::uint32_t state,
                                                                  std::span<const std::uint8_t> data) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  std::uint64_t wide = state;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);  // x86-64 is little endian, which is the order the CRC consumes
    wide = _mm_crc32_u64(wide, word);
  }
  state = static_cast<std::uint32_t>(wide);
  for (; n > 0; --n, ++p) state = _mm_crc32_u8(state, *p);
  return state;
}

}  // namespace

std::uint32_t crc32c_table(std::span<const std::uint8_t> data, std::uint32_t crc) {
  std::uint32_t state = ~crc;
  for (std::uint8_t byte : data) state = kTable[(state ^ byte) & 0xFF] ^ (state >> 8);
  return ~state;
}

bool crc32c_hardware_available() {
  static const bool available = __builtin_cpu_supports("sse4.2");
  return available;
}

std::uint32_t crc32c_hardware(std::span<const std::uint8_t> data, std::uint32_t crc) {
  return ~hardware_update(~crc, data);
}

std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc) {
  return crc32c_hardware_available() ? crc32c_hardware(data, crc) : crc32c_table(data, crc);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1)
    internal_error("SHA-256 context could not be created");
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::update(std::span<const std::uint8_t> data) {
  if (EVP_DigestUpdate(context_, data.data(), data.size()) != 1) internal_error("SHA-256 update failed");
}

Digest Sha256::finish() {
  Digest digest{};
  unsigned length = 0;
  if (EVP_DigestFinal_ex(context_, digest.data(), &length) != 1 || length != digest.size())
    internal_error("SHA-256 finish failed");
  return digest;
}

Digest sha256(std::span<const std::uint8_t> data) {
  Sha256 hash;
  hash.update(data);
  return hash.finish();
}

}  // namespace qelvo::codec
