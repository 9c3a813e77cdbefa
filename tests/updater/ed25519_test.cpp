#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "km/build_config.h"
#include "updater/ed25519.h"
#include "updater/manifest.h"
#include "updater/sha256.h"
#include "updater/sha512.h"

namespace km::updater {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string hex(const std::uint8_t* data, std::size_t size) {
    return to_hex(data, size);
}

bool verify(const Bytes& key, const Bytes& signature, const Bytes& message) {
    return verify_ed25519(key.data(), signature.data(), message.data(), message.size());
}

// 256-bit little-endian a + b (the callers keep the sum below 2^256).
Bytes add_le(const Bytes& a, const Bytes& b) {
    Bytes out(32);
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        carry += a[i] + b[i];
        out[i] = static_cast<std::uint8_t>(carry);
        carry >>= 8;
    }
    return out;
}

const Bytes group_order =
    from_hex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

struct RfcVector {
    const char* name;
    const char* secret;
    const char* public_key;
    Bytes message;
    const char* signature;
};

// RFC 8032 section 7.1.
const std::vector<RfcVector>& rfc_vectors() {
    static const Bytes abc_digest = [] {
        const Sha512Digest d = sha512("abc", 3);
        return Bytes(d.begin(), d.end());
    }();
    static const std::vector<RfcVector> vectors = {
        {"TEST 1",
         "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",
         {},
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
         "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", from_hex("72"),
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
         "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
        {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", from_hex("af82"),
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
         "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
        {"TEST 1024", "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
         "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
         from_hex(
             "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50"
             "f8f54e9f77b1e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb"
             "26c81b37c93a1b270b20329d658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89"
             "ffbc1a858efcb8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82d522c4feba15452f80288a82"
             "1a579116ec6dad2b3b310da903401aa62100ab5d1a36553e06203b33890cc9b832f79ef80560ccb9a39c"
             "e767967ed628c6ad573cb116dbefefd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206b"
             "e6cd9ec7aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed185ce81bd8435"
             "9d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2d17ba70eb6248e594e1a2297acbbb39d"
             "502f1a8c6eb6f1ce22b3de1a1f40cc24554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf"
             "2b13fd65f27088d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc2732e694"
             "85bbc9c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b0707e0917af48bbb75fed413d238f5"
             "555a7a569d80c3414a8d0859dc65a46128bab27af87a71314f318c782b23ebfe808b82b0ce26401d2e22"
             "f04d83d1255dc51addd3b75a2b1ae0784504df543af8969be3ea7082ff7fc9888c144da2af58429ec960"
             "31dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9b47acdb751fb73e666c6c655ade82972"
             "97d07ad1ba5e43f1bca32301651339e22904cc8c42f58c30c04aafdb038dda0847dd988dcda6f3bfd15c"
             "4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f6724517b65e614ad6808d6f6ee34df"
             "f7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08d78ff4ef5d63653a6504"
             "0cf9bfd4aca7984a74d37145986780fc0b16ac451649de6188a7dbdf191f64b5fc5e2ab47b57f7f7276c"
             "d419c17a3ca8e1b939ae49e488acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc56"
             "00a32ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e6aed3fb0f9cd71a4"
             "3dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5fb93246f6b1116398a346f1a641f3b041e989"
             "f7914f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa9"
             "33a15ef1369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380db2eaaa707b4c"
             "4185c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c0618983f8741c5ef68d3a101e8a3b8ca"
             "c60c905c15fc910840b94c00a0b9d0"),
         "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350"
         "aa5371b1508f9f4528ecea23c436d94b5e8fcd4f681e30a6ac00a9704a188a03"},
        {"SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
         "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf", abc_digest,
         "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b589"
         "09351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
    };
    return vectors;
}

TEST(Ed25519, RfcVectorsVerify) {
    for (const RfcVector& v : rfc_vectors()) {
        EXPECT_TRUE(verify(from_hex(v.public_key), from_hex(v.signature), v.message)) << v.name;
    }
}

// Public key from secret: the ladder and the encoding without any hashing of messages.
TEST(Ed25519, RfcPublicKeysFollowFromTheirSecrets) {
    ASSERT_EQ(rfc_vectors()[1].message.size(), 1u);
    for (const RfcVector& v : rfc_vectors()) {
        const Bytes secret = from_hex(v.secret);
        Sha512Digest h = sha512(secret.data(), secret.size());
        h[0] &= 248;
        h[31] = static_cast<std::uint8_t>((h[31] & 127) | 64);
        std::uint8_t encoded[32];
        ed25519::encode_point(ed25519::scalar_mult(ed25519::base_point(), h.data()), encoded);
        EXPECT_EQ(hex(encoded, 32), v.public_key) << v.name;
    }
}

TEST(Ed25519, ManifestKeyIsTheBuildKey) {
    std::string expected = build::manifest_public_key_hex;
    std::transform(expected.begin(), expected.end(), expected.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c); });
    EXPECT_EQ(hex(manifest_public_key, 32), expected);
}

TEST(Ed25519, TamperingIsRejected) {
    for (const RfcVector& v : rfc_vectors()) {
        const Bytes key = from_hex(v.public_key);
        const Bytes signature = from_hex(v.signature);
        for (std::size_t byte : {std::size_t{0}, std::size_t{17}, std::size_t{31}}) {
            Bytes r = signature;
            r[byte] ^= 0x01;
            EXPECT_FALSE(verify(key, r, v.message)) << v.name << " R byte " << byte;
            Bytes s = signature;
            s[32 + byte] ^= 0x40;
            EXPECT_FALSE(verify(key, s, v.message)) << v.name << " S byte " << byte;
        }
        Bytes longer = v.message;
        longer.push_back('\n');
        EXPECT_FALSE(verify(key, signature, longer)) << v.name << " trailing newline";
        if (!v.message.empty()) {
            Bytes changed = v.message;
            changed[changed.size() / 2] ^= 0x80;
            EXPECT_FALSE(verify(key, signature, changed)) << v.name << " changed byte";
            const Bytes shorter(v.message.begin(), v.message.end() - 1);
            EXPECT_FALSE(verify(key, signature, shorter)) << v.name << " last byte cut";
        }
        // The right signature under another signer's key.
        const Bytes other_key = from_hex(rfc_vectors()[&v == &rfc_vectors()[0] ? 1 : 0].public_key);
        EXPECT_FALSE(verify(other_key, signature, v.message)) << v.name << " other key";
    }
}

// A second encoding of a valid S (S + L, S + 8L, and L itself) would let anyone re-sign a
// manifest into new signature bytes.
TEST(Ed25519, SignatureWithSPlusLIsRejected) {
    const RfcVector& v = rfc_vectors()[2];
    Bytes signature = from_hex(v.signature);
    const Bytes s(signature.begin() + 32, signature.end());
    Bytes s_plus = add_le(s, group_order);
    std::copy(s_plus.begin(), s_plus.end(), signature.begin() + 32);
    EXPECT_FALSE(verify(from_hex(v.public_key), signature, v.message));
    for (int i = 0; i < 7; ++i) {
        s_plus = add_le(s_plus, group_order);
    }
    std::copy(s_plus.begin(), s_plus.end(), signature.begin() + 32);
    EXPECT_FALSE(verify(from_hex(v.public_key), signature, v.message));
    std::copy(group_order.begin(), group_order.end(), signature.begin() + 32);
    EXPECT_FALSE(verify(from_hex(v.public_key), signature, v.message));
}

TEST(Ed25519, KeysThatDoNotDecodeAreRejected) {
    const RfcVector& v = rfc_vectors()[0];
    const Bytes signature = from_hex(v.signature);
    const struct {
        const char* why;
        const char* key;
    } bad_keys[] = {
        {"no x exists for y = 2",
         "0200000000000000000000000000000000000000000000000000000000000000"},
        {"y = p, a second encoding of y = 0",
         "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"y = 2^255 - 1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
        {"x = 0 with the sign bit set",
         "0100000000000000000000000000000000000000000000000000000000000080"},
    };
    for (const auto& bad : bad_keys) {
        const Bytes key = from_hex(bad.key);
        ed25519::Point point;
        EXPECT_FALSE(ed25519::decode_point(key.data(), point)) << bad.why;
        EXPECT_FALSE(verify(key, signature, v.message)) << bad.why;
    }
    // The canonical neighbours do decode: y = 0 and the identity with a clear sign bit.
    ed25519::Point point;
    EXPECT_TRUE(ed25519::decode_point(
        from_hex("0000000000000000000000000000000000000000000000000000000000000000").data(),
        point));
    EXPECT_TRUE(ed25519::decode_point(
        from_hex("0100000000000000000000000000000000000000000000000000000000000000").data(),
        point));
}

TEST(Ed25519, EncodeInvertsDecode) {
    for (const RfcVector& v : rfc_vectors()) {
        const Bytes key = from_hex(v.public_key);
        ed25519::Point point;
        ASSERT_TRUE(ed25519::decode_point(key.data(), point)) << v.name;
        std::uint8_t encoded[32];
        ed25519::encode_point(point, encoded);
        EXPECT_EQ(hex(encoded, 32), v.public_key) << v.name;
        // -P has the other sign bit and P + (-P) is the identity.
        ed25519::encode_point(ed25519::negate(point), encoded);
        EXPECT_EQ(encoded[31] ^ key[31], 0x80) << v.name;
        ed25519::encode_point(ed25519::add(point, ed25519::negate(point)), encoded);
        EXPECT_EQ(hex(encoded, 32),
                  "0100000000000000000000000000000000000000000000000000000000000000");
    }
}

TEST(Ed25519, ScalarMultByOrderGivesIdentity) {
    std::uint8_t encoded[32];
    ed25519::encode_point(ed25519::scalar_mult(ed25519::base_point(), group_order.data()), encoded);
    EXPECT_EQ(hex(encoded, 32), "0100000000000000000000000000000000000000000000000000000000000000");
    const Bytes one = from_hex("0100000000000000000000000000000000000000000000000000000000000000");
    ed25519::encode_point(ed25519::scalar_mult(ed25519::base_point(), one.data()), encoded);
    EXPECT_EQ(hex(encoded, 32), "5866666666666666666666666666666666666666666666666666666666666666");
}

TEST(Ed25519, ReduceModOrder) {
    const struct {
        const char* wide;  // 64 bytes little-endian
        const char* reduced;
    } cases[] = {
        {"00", "0000000000000000000000000000000000000000000000000000000000000000"},
        {"edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010",
         "0000000000000000000000000000000000000000000000000000000000000000"},
        {"ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010",
         "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"},
        {"f2d3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010",
         "0500000000000000000000000000000000000000000000000000000000000000"},
        // 2^256 mod L, and 2^512 - 1 mod L.
        {"0000000000000000000000000000000000000000000000000000000000000000"
         "01",
         "1d95988d7431ecd670cf7d73f45befc6feffffffffffffffffffffffffffff0f"},
        {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
         "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
         "000f9c44e31106a447938568a71b0ed065bef517d273ecce3d9a307c1b419903"},
    };
    for (const auto& c : cases) {
        Bytes wide = from_hex(c.wide);
        wide.resize(64, 0);
        std::uint8_t out[32];
        ed25519::reduce_mod_l(wide.data(), out);
        EXPECT_EQ(hex(out, 32), c.reduced) << c.wide;
    }
}

// Project Wycheproof's vectors: every verdict must match.
TEST(Ed25519, WycheproofVectors) {
    const std::string path = std::string(KM_SHARED_TESTDATA) + "/wycheproof-ed25519.json";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        GTEST_SKIP() << "no " << path;
    }
    const nlohmann::json doc = nlohmann::json::parse(in);
    int cases = 0;
    for (const auto& group : doc.at("testGroups")) {
        const Bytes key = from_hex(group.at("publicKey").at("pk").get<std::string>());
        ASSERT_EQ(key.size(), 32u);
        for (const auto& test : group.at("tests")) {
            ++cases;
            const int id = test.at("tcId").get<int>();
            const Bytes message = from_hex(test.at("msg").get<std::string>());
            const Bytes signature = from_hex(test.at("sig").get<std::string>());
            const bool expected = test.at("result").get<std::string>() == "valid";
            // The update check refuses any signature body that is not 64 bytes before verifying.
            const bool got = signature.size() == 64 && verify(key, signature, message);
            EXPECT_EQ(got, expected) << "tcId " << id << ": " << test.value("comment", "");
        }
    }
    EXPECT_EQ(cases, doc.at("numberOfTests").get<int>());
}

}  // namespace
}  // namespace km::updater
