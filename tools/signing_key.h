// The manifest signer's Ed25519 key on the operator's side, through OpenSSL's libcrypto.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace km::tools {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using SigningKey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

// A fresh key from the system's random source.
SigningKey generate_signing_key(std::string& error);
// The key whose RFC 8032 private seed is `seed`.
SigningKey signing_key_from_seed(const std::uint8_t* seed, std::string& error);

// Writes the private key as PEM (PKCS#8) to a new file readable by its owner only. Never
// replaces an existing file (or a link at that name).
bool write_private_key(const EVP_PKEY* key, const std::string& path, std::string& error);
// Reads a PEM private key; anything that is not an unencrypted Ed25519 private key is refused
// with a message saying what was found.
SigningKey read_private_key(const std::string& path, std::string& error);

PublicKey public_key_of(const EVP_PKEY* key);
bool sign(const EVP_PKEY* key, const std::string& message, Signature& out, std::string& error);

}  // namespace km::tools
