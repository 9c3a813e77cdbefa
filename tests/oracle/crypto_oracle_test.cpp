// Our SHA-256 and Ed25519 (with the SHA-512 and scalar reduction inside it) against OpenSSL's
// libcrypto as an independent oracle.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

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
// file, and SHA-512, over every padding boundary and the file reader's buffer boundaries.
TEST(CryptoOracle, Sha256AndSha512MatchOpenSsl) {
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
        const Sha512Digest d = sha512(data.data(), data.size());
        EXPECT_EQ(to_hex(d.data(), d.size()), openssl_hex(EVP_sha512(), data)) << size;
    }
}

TEST(CryptoOracle, ReductionModOrderMatchesBigNumbers) {
    std::mt19937_64 rng(5);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* order = nullptr;
    ASSERT_GT(BN_dec2bn(&order,
                        "723700557733226221397318656304299424085711635937990760600195093"
                        "8285454250989"),
              0);
    BIGNUM* remainder = BN_new();
    for (int round = 0; round < 500; ++round) {
        Bytes wide = random_bytes(rng, 64);
        if (round == 0)
            wide.assign(64, 0xff);
        BIGNUM* value = BN_lebin2bn(wide.data(), 64, nullptr);
        ASSERT_EQ(BN_mod(remainder, value, order, ctx), 1);
        BN_free(value);
        Bytes expected(32);
        ASSERT_EQ(BN_bn2lebinpad(remainder, expected.data(), 32), 32);
        std::uint8_t out[32];
        ed25519::reduce_mod_l(wide.data(), out);
        EXPECT_EQ(Bytes(out, out + 32), expected) << "round " << round;
    }
    BN_free(remainder);
    BN_free(order);
    BN_CTX_free(ctx);
}

// Random keys and messages signed by OpenSSL; our verdict must be OpenSSL's, for the genuine
// signature and for one-bit changes of the message, R and S.
TEST(CryptoOracle, Ed25519SignaturesFromOpenSsl) {
    std::mt19937_64 rng(6);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Bytes seed = random_bytes(rng, 32);
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
            EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), 32),
            EVP_PKEY_free);
        Bytes public_key(32), signature(64);
        std::size_t size = 32;
        ASSERT_EQ(EVP_PKEY_get_raw_public_key(key.get(), public_key.data(), &size), 1);
        const Bytes message = random_bytes(rng, round < 5 ? round : rng() % 3000);
        const auto openssl = [&](const Bytes& sig, const Bytes& msg, bool sign) {
            std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(),
                                                                       EVP_MD_CTX_free);
            std::size_t length = 64;
            return sign ? EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
                              EVP_DigestSign(md.get(), signature.data(), &length, msg.data(),
                                             msg.size()) == 1
                        : EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, key.get()) ==
                                  1 &&
                              EVP_DigestVerify(md.get(), sig.data(), sig.size(), msg.data(),
                                               msg.size()) == 1;
        };
        const auto ours = [&](const Bytes& sig, const Bytes& msg) {
            return verify_ed25519(public_key.data(), sig.data(), msg.data(), msg.size());
        };
        ASSERT_TRUE(openssl(signature, message, true));
        EXPECT_TRUE(ours(signature, message)) << message.size() << " bytes";
        Bytes tampered = signature;
        tampered[rng() % 64] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        EXPECT_EQ(ours(tampered, message), openssl(tampered, message, false)) << "signature";
        if (!message.empty()) {
            Bytes changed = message;
            changed[rng() % message.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            EXPECT_FALSE(ours(signature, changed)) << "message bit flipped";
        }
    }
}

}  // namespace
}  // namespace km::updater
