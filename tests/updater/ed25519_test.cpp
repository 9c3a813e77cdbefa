#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/test_signer.h"
#include "updater/ed25519.h"
#include "updater/manifest.h"
#include "updater/sha256.h"

namespace km::updater {
namespace {

using test::from_hex;

const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

bool verify(const std::string& key, const std::string& signature, const std::string& message) {
    return verify_ed25519(bytes(key), bytes(signature), bytes(message), message.size());
}

struct RfcVector {
    const char* seed;
    const char* public_key;
    const char* message;
    const char* signature;
};

// RFC 8032 section 7.1, TEST 1 and TEST 3. The tests' own signer must reproduce them exactly, or
// every release the update-check tests sign would prove nothing.
const RfcVector rfc_vectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519, RfcVectorsSignAndVerify) {
    for (const RfcVector& v : rfc_vectors) {
        SCOPED_TRACE(v.public_key);
        const std::string seed = from_hex(v.seed), message = from_hex(v.message);
        const std::string key = from_hex(v.public_key), signature = from_hex(v.signature);
        EXPECT_EQ(to_hex(test::ed25519_public_key(bytes(seed)).data(), 32), v.public_key);
        EXPECT_EQ(
            to_hex(test::ed25519_sign(bytes(seed), message.data(), message.size()).data(), 64),
            v.signature);
        // One-bit changes of signatures and messages are refused in tests/oracle, over OpenSSL's
        // signatures; Wycheproof's verdicts below hold the rest where its file is present.
        EXPECT_TRUE(verify(key, signature, message));
    }
}

// A second encoding of a valid S would let anyone re-sign a manifest into new signature bytes.
TEST(Ed25519, SignatureWithSPlusLIsRejected) {
    // RFC 8032 TEST 3 with S + L, which also passes the loose check of the top three bits.
    const RfcVector& v = rfc_vectors[1];
    const std::string s_plus_l = "05d391b0a77904e98404ef037747a56e4a7c15e9716ed28dc027beceea1ec41a";
    EXPECT_FALSE(verify(from_hex(v.public_key),
                        from_hex(std::string(v.signature).substr(0, 64) + s_plus_l),
                        from_hex(v.message)));
    // With the neutral point as the key and as R, S = 0 verifies any message: S = L, or an R
    // off in one byte, must fail on the range check or the byte comparison alone.
    const std::string neutral =
        from_hex("0100000000000000000000000000000000000000000000000000000000000000");
    const std::string zero(32, '\0');
    EXPECT_TRUE(verify(neutral, neutral + zero, "m"));
    const std::string group_order =
        from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    EXPECT_FALSE(verify(neutral, neutral + group_order, "m"));
    for (const auto& [at, bit] : {std::pair{0, 0x01}, std::pair{16, 0x01}, std::pair{31, 0x80}}) {
        std::string r = neutral;
        r[at] = static_cast<char>(r[at] ^ bit);
        EXPECT_FALSE(verify(neutral, r + zero, "m")) << "R byte " << at;
    }
}

// No x for this y; y = p, a second encoding of y = 0; x = 0 with the sign bit of a negative x.
// (Keys that decode are the RFC's, OpenSSL's and the neutral point above.)
TEST(Ed25519, KeysThatDoNotDecodeAreRejected) {
    for (const char* key : {"0200000000000000000000000000000000000000000000000000000000000000",
                            "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "0100000000000000000000000000000000000000000000000000000000000080"}) {
        ed25519::Point point;
        EXPECT_FALSE(ed25519::decode_point(bytes(from_hex(key)), point)) << key;
    }
}

// Project Wycheproof's vectors: every verdict must match.
TEST(Ed25519, WycheproofVectors) {
    const std::string path = std::string(KM_SHARED_TESTDATA) + "/wycheproof-ed25519.json";
    std::ifstream in(path, std::ios::binary);
    if (!in)
        GTEST_SKIP() << "no " << path;
    const nlohmann::json doc = nlohmann::json::parse(in);
    int cases = 0;
    for (const auto& group : doc.at("testGroups")) {
        const std::string key = from_hex(group.at("publicKey").at("pk").get<std::string>());
        for (const auto& test : group.at("tests")) {
            ++cases;
            const std::string signature = from_hex(test.at("sig").get<std::string>());
            // The update check refuses any signature body that is not 64 bytes before verifying.
            const bool got = signature.size() == 64 &&
                             verify(key, signature, from_hex(test.at("msg").get<std::string>()));
            EXPECT_EQ(got, test.at("result").get<std::string>() == "valid")
                << "tcId " << test.at("tcId").get<int>();
        }
    }
    EXPECT_EQ(cases, doc.at("numberOfTests").get<int>());
}

}  // namespace
}  // namespace km::updater
