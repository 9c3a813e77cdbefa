// Ed25519 signing (RFC 8032, PureEd25519) for tests: builds signed manifests without OpenSSL,
// so the same tests run under Wine. Made from the verifier's own group arithmetic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace km::test {

// The development signing key: RFC 8032 section 7.1, TEST 1.
extern const std::uint8_t dev_seed[32];

std::array<std::uint8_t, 64> ed25519_sign(const std::uint8_t seed[32], const void* msg,
                                          std::size_t len);
std::array<std::uint8_t, 32> ed25519_public_key(const std::uint8_t seed[32]);

// The 64 signature bytes of `message` under the development key, as a string.
std::string dev_signature(const std::string& message);

// Lower-case hex digits to bytes (test vectors).
std::string from_hex(const std::string& hex);

}  // namespace km::test
