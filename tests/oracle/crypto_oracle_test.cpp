// Our SHA-256, SHA-512 and Ed25519 (with the scalar reduction inside it) against OpenSSL's
// libcrypto as an independent oracle.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "updater/ed25519.h"
#include "updater/manifest.h"
#include "updater/sha256.h"
#include "updater/sha512.h"

namespace km::updater {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(std::mt19937_64& rng, std::size_t size) {
    Bytes out(size);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

std::string openssl_hex(const EVP_MD* md, const Bytes& data) {
    std::uint8_t out[64];
    unsigned size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out, &size, md, nullptr), 1);
    return to_hex(out, size);
}

// Both paths of our SHA-256 (the processor's extensions where present), in memory and from a
// file, over every padding boundary and the file reader's buffer boundaries.
TEST(CryptoOracle, Sha256MatchesOpenSsl) {
    std::mt19937_64 rng(1);
    std::vector<std::size_t> sizes = {0,   1,   55,      56,      57,      63,
                                      64,  65,  111,     112,     113,     127,
                                      128, 129, 1048575, 1048576, 1048577, 7 * 1048576 + 1234};
    for (int i = 0; i < 40; ++i)
        sizes.push_back(rng() % 20000);
    test::TempDir dir;
    for (std::size_t size : sizes) {
        const Bytes data = random_bytes(rng, size);
        const std::string expected = openssl_hex(EVP_sha256(), data);
        for (bool portable : {false, true}) {
            detail::force_portable_sha256(portable);
            const Sha256Digest d = sha256(data.data(), data.size());
            EXPECT_EQ(to_hex(d.data(), d.size()), expected) << size << " bytes " << portable;
        }
        detail::force_portable_sha256(false);
        const auto path = dir.write("f", std::string(data.begin(), data.end()));
        EXPECT_EQ(sha256_file(path.string()), expected) << size << " bytes from a file";
    }
}

// SHA-512 on both compression paths: every length a padding or a four-block batch of the
// vector schedule can turn on, whole and fed in uneven pieces.
TEST(CryptoOracle, Sha512BothPathsMatchOpenSslAtEveryBoundary) {
    std::mt19937_64 rng(5);
    const Bytes all = random_bytes(rng, 3080055);
    std::vector<std::size_t> lengths = {1048575, 1048576, 1048577, 3080055};
    for (std::size_t n = 0; n <= 1100; ++n)
        lengths.push_back(n);
    for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable" : (sha512_vector_scheduled() ? "avx2" : "preferred"));
        detail::force_portable_sha512(portable);
        for (std::size_t n : lengths) {
            const Bytes data(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
            const std::string expected = openssl_hex(EVP_sha512(), data);
            Sha512 pieces;
            for (std::size_t at = 0, piece = n % 7 + 1; at < n; at += piece) {
                piece = std::min(piece * 3 % 1021 + 1, n - at);  // uneven: crosses every edge
                pieces.update(data.data() + at, piece);
            }
            const Sha512Digest whole = sha512(data.data(), n), piecewise = pieces.finish();
            ASSERT_EQ(to_hex(whole.data(), 64), expected) << n;
            ASSERT_EQ(to_hex(piecewise.data(), 64), expected) << n << " in pieces";
        }
    }
    detail::force_portable_sha512(false);
}

// Random keys and messages signed by OpenSSL: the genuine signature verifies, and no one-bit
// change of the message, R or S does.
TEST(CryptoOracle, Ed25519SignaturesFromOpenSsl) {
    std::mt19937_64 rng(6);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes seed = random_bytes(rng, 32);
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
            EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), 32),
            EVP_PKEY_free);
        Bytes public_key(32), signature(64);
        std::size_t size = 32, length = 64;
        ASSERT_EQ(EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &size), 1);
        const Bytes message = random_bytes(rng, round < 5 ? round : rng() % 3000);
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
        ASSERT_EQ(EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get()), 1);
        ASSERT_EQ(
            EVP_DigestSign(md.get(), signature.data(), &length, message.data(), message.size()), 1);
        const auto ours = [&](const Bytes& sig, const Bytes& msg) {
            return verify_ed25519(public_key.data(), sig.data(), msg.data(), msg.size());
        };
        EXPECT_TRUE(ours(signature, message)) << message.size() << " bytes";
        Bytes tampered = signature;
        tampered[rng() % 64] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        EXPECT_FALSE(ours(tampered, message)) << "signature";
        if (!message.empty()) {
            Bytes changed = message;
            changed[rng() % message.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            EXPECT_FALSE(ours(signature, changed)) << "message bit flipped";
        }
    }
}

}  // namespace
}  // namespace km::updater
