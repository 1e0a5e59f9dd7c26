#pragma once
// The two fingerprints stored by the formats: CRC-32C (Castagnoli, reflected polynomial
// 0x82F63B78, initial value and final XOR all ones) and SHA-256.
#include <array>
#include <cstdint>
#include <span>

#include <openssl/evp.h>

namespace qelvo::codec {

// CRC-32C of `data` continued from the CRC of the bytes before it (0 for none):
// crc32c(b, crc32c(a)) == crc32c(a ++ b). Uses the SSE4.2 instruction where present.
std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
// The two implementations behind crc32c, exposed so tests can show they agree.
std::uint32_t crc32c_table(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
std::uint32_t crc32c_hardware(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
bool crc32c_hardware_available();

// Whether a CRC read from input matches the one computed over what it guards. Fuzzing
// builds accept every stored CRC, so that mutated inputs reach the code behind the check.
constexpr bool stored_crc_matches(std::uint32_t computed, std::uint32_t stored) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  static_cast<void>(computed), static_cast<void>(stored);
  return true;
#else
  return computed == stored;
#endif
}

using Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256 (OpenSSL's libcrypto, which uses the SHA extensions where present).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(std::span<const std::uint8_t> data);
  Digest finish();

 private:
  EVP_MD_CTX* context_;
};

Digest sha256(std::span<const std::uint8_t> data);

}  // namespace qelvo::codec
