// The tests' own Ed25519 signer must produce RFC 8032's signatures exactly, or every signed
// release the update-check tests publish would prove nothing.
#include "tests/support/test_signer.h"

#include <gtest/gtest.h>

#include "updater/manifest.h"
#include "updater/sha256.h"

namespace km {
namespace {

std::string hex(const std::uint8_t* data, std::size_t size) {
    return updater::to_hex(data, size);
}

TEST(TestSigner, MatchesRfc8032Section71) {
    const struct {
        const char* name;
        const char* seed;
        const char* public_key;
        const char* message;
        const char* signature;
    } vectors[] = {
        {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
         "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
         "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
        {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
         "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        const std::string seed = test::from_hex(v.seed);
        const std::string message = test::from_hex(v.message);
        const auto* seed_bytes = reinterpret_cast<const std::uint8_t*>(seed.data());
        const auto public_key = test::ed25519_public_key(seed_bytes);
        EXPECT_EQ(hex(public_key.data(), 32), v.public_key);
        const auto signature = test::ed25519_sign(seed_bytes, message.data(), message.size());
        EXPECT_EQ(hex(signature.data(), 64), v.signature);
        EXPECT_TRUE(updater::verify_ed25519(public_key.data(), signature.data(),
                                            reinterpret_cast<const std::uint8_t*>(message.data()),
                                            message.size()));
    }
}

TEST(TestSigner, DevelopmentSignaturesVerifyWithTheBuiltInKey) {
    const std::string manifest(5000, 'm');
    const std::string signature = test::dev_signature(manifest);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(updater::verify_manifest_signature(
        reinterpret_cast<const std::uint8_t*>(signature.data()),
        reinterpret_cast<const std::uint8_t*>(manifest.data()), manifest.size()));
}

}  // namespace
}  // namespace km
