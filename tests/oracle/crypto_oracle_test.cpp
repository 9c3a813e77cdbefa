// Our SHA-256, SHA-512 and Ed25519 against OpenSSL's libcrypto as an independent oracle.
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
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(rng());
    }
    return out;
}

Bytes openssl_digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr), 1);
    out.resize(size);
    return out;
}

Bytes ours256(const Bytes& data) {
    const Sha256Digest d = sha256(data.data(), data.size());
    return Bytes(d.begin(), d.end());
}

Bytes ours512(const Bytes& data) {
    const Sha512Digest d = sha512(data.data(), data.size());
    return Bytes(d.begin(), d.end());
}

std::vector<std::size_t> interesting_lengths() {
    std::vector<std::size_t> sizes = {0,   1,   55,      56,      57,      63,
                                      64,  65,  111,     112,     113,     127,
                                      128, 129, 1048575, 1048576, 1048577, 5 * 1048576 + 3};
    std::mt19937_64 rng(3);
    for (int i = 0; i < 40; ++i) {
        sizes.push_back(rng() % 20000);
    }
    return sizes;
}

TEST(CryptoOracle, Sha256MatchesOpenSslOnBothPaths) {
    std::mt19937_64 rng(1);
    for (std::size_t size : interesting_lengths()) {
        const Bytes data = random_bytes(rng, size);
        const Bytes expected = openssl_digest(EVP_sha256(), data);
        EXPECT_EQ(ours256(data), expected) << size << " bytes, preferred path";
        detail::force_portable_sha256(true);
        EXPECT_EQ(ours256(data), expected) << size << " bytes, portable path";
        detail::force_portable_sha256(false);
    }
}

TEST(CryptoOracle, Sha512MatchesOpenSsl) {
    std::mt19937_64 rng(2);
    for (std::size_t size : interesting_lengths()) {
        const Bytes data = random_bytes(rng, size);
        EXPECT_EQ(ours512(data), openssl_digest(EVP_sha512(), data)) << size << " bytes";
    }
}

TEST(CryptoOracle, Sha256FileMatchesOpenSsl) {
    std::mt19937_64 rng(4);
    test::TempDir dir;
    const Bytes data = random_bytes(rng, 7 * 1048576 + 1234);
    const auto path =
        dir.write("big.bin", std::string(reinterpret_cast<const char*>(data.data()), data.size()));
    const Bytes expected = openssl_digest(EVP_sha256(), data);
    EXPECT_EQ(sha256_file(path.string()), to_hex(expected.data(), expected.size()));
}

TEST(CryptoOracle, ReductionModOrderMatchesBigNumbers) {
    std::mt19937_64 rng(5);
    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), &BN_CTX_free);
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> order(nullptr, &BN_free), value(nullptr, &BN_free),
        remainder(BN_new(), &BN_free);
    BIGNUM* raw = nullptr;
    ASSERT_GT(BN_dec2bn(&raw,
                        "7237005577332262213973186563042994240857116359379907606001950938285454"
                        "250989"),
              0);
    order.reset(raw);
    for (int round = 0; round < 500; ++round) {
        Bytes wide = random_bytes(rng, 64);
        if (round == 0) {
            std::fill(wide.begin(), wide.end(), 0xff);
        }
        value.reset(BN_lebin2bn(wide.data(), 64, nullptr));
        ASSERT_EQ(BN_mod(remainder.get(), value.get(), order.get(), ctx.get()), 1);
        Bytes expected(32);
        ASSERT_EQ(BN_bn2lebinpad(remainder.get(), expected.data(), 32), 32);
        std::uint8_t out[32];
        ed25519::reduce_mod_l(wide.data(), out);
        EXPECT_EQ(Bytes(out, out + 32), expected) << "round " << round;
    }
}

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

Key openssl_key_from_seed(const Bytes& seed) {
    return Key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
}

Bytes openssl_public(EVP_PKEY* key) {
    Bytes out(32);
    std::size_t size = out.size();
    EXPECT_EQ(EVP_PKEY_get_raw_public_key(key, out.data(), &size), 1);
    return out;
}

Bytes openssl_sign(EVP_PKEY* key, const Bytes& message) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key), 1);
    Bytes signature(64);
    std::size_t size = signature.size();
    EXPECT_EQ(EVP_DigestSign(ctx.get(), signature.data(), &size, message.data(), message.size()),
              1);
    EXPECT_EQ(size, 64u);
    return signature;
}

bool openssl_verify(EVP_PKEY* key, const Bytes& signature, const Bytes& message) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EXPECT_EQ(EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key), 1);
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                            message.size()) == 1;
}

// Random keys and messages signed by OpenSSL; our verdict must be OpenSSL's, for the genuine
// signature and for one-bit changes of the message, R and S.
TEST(CryptoOracle, Ed25519SignaturesFromOpenSsl) {
    std::mt19937_64 rng(6);
    for (int round = 0; round < 60; ++round) {
        const Bytes seed = random_bytes(rng, 32);
        const Key key = openssl_key_from_seed(seed);
        ASSERT_TRUE(key);
        const Bytes public_key = openssl_public(key.get());
        const Bytes message =
            random_bytes(rng, round < 5 ? static_cast<std::size_t>(round) : rng() % 3000);
        const Bytes signature = openssl_sign(key.get(), message);
        EXPECT_TRUE(
            verify_ed25519(public_key.data(), signature.data(), message.data(), message.size()))
            << "round " << round << ", " << message.size() << " bytes";

        Bytes tampered_signature = signature;
        tampered_signature[rng() % 64] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        EXPECT_EQ(verify_ed25519(public_key.data(), tampered_signature.data(), message.data(),
                                 message.size()),
                  openssl_verify(key.get(), tampered_signature, message))
            << "round " << round << ", signature bit flipped";
        if (!message.empty()) {
            Bytes tampered_message = message;
            tampered_message[rng() % message.size()] ^=
                static_cast<std::uint8_t>(1u << (rng() % 8));
            EXPECT_FALSE(verify_ed25519(public_key.data(), signature.data(),
                                        tampered_message.data(), tampered_message.size()))
                << "round " << round << ", message bit flipped";
        }
    }
}

// The ladder and point encoding alone: public keys derived from random seeds.
TEST(CryptoOracle, Ed25519PublicKeysMatchOpenSsl) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 100; ++round) {
        const Bytes seed = random_bytes(rng, 32);
        const Key key = openssl_key_from_seed(seed);
        ASSERT_TRUE(key);
        Sha512Digest h = sha512(seed.data(), seed.size());
        h[0] &= 248;
        h[31] = static_cast<std::uint8_t>((h[31] & 127) | 64);
        std::uint8_t encoded[32];
        ed25519::encode_point(ed25519::scalar_mult(ed25519::base_point(), h.data()), encoded);
        EXPECT_EQ(Bytes(encoded, encoded + 32), openssl_public(key.get())) << "round " << round;
    }
}

}  // namespace
}  // namespace km::updater
