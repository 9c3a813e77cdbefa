#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "updater/sha256.h"
#include "updater/sha512.h"

namespace km::updater {
namespace {

std::string hex256(const std::string& data) {
    const Sha256Digest d = sha256(data.data(), data.size());
    return to_hex(d.data(), d.size());
}

std::string hex512(const std::string& data) {
    const Sha512Digest d = sha512(data.data(), data.size());
    return to_hex(d.data(), d.size());
}

std::string random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(rng() & 0xff);
    }
    return out;
}

// Runs the body once on the path the processor chose and once on the portable path.
class BothSha256Paths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { detail::force_portable_sha256(GetParam()); }
    void TearDown() override { detail::force_portable_sha256(false); }
};

struct KnownAnswer {
    const char* name;
    std::string message;
    const char* sha256;
    const char* sha512;
};

const std::vector<KnownAnswer>& fips_vectors() {
    static const std::vector<KnownAnswer> vectors = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
         "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
         "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {"million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    return vectors;
}

TEST_P(BothSha256Paths, FipsVectors) {
    for (const KnownAnswer& v : fips_vectors()) {
        EXPECT_EQ(hex256(v.message), v.sha256) << v.name;
    }
}

TEST(Sha512, FipsVectors) {
    for (const KnownAnswer& v : fips_vectors()) {
        EXPECT_EQ(hex512(v.message), v.sha512) << v.name;
    }
}

// Pieces of every size from 1 to 129 cross the block buffer at every offset.
TEST_P(BothSha256Paths, PiecewiseUpdatesMatchOneShot) {
    const std::string data = random_bytes(1000, 7);
    const Sha256Digest whole = sha256(data.data(), data.size());
    for (std::size_t piece = 1; piece <= 129; ++piece) {
        Sha256 hasher;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            hasher.update(data.data() + at, std::min(piece, data.size() - at));
        }
        EXPECT_EQ(hasher.finish(), whole) << "pieces of " << piece;
    }
}

TEST(Sha512, PiecewiseUpdatesMatchOneShot) {
    const std::string data = random_bytes(1000, 8);
    const Sha512Digest whole = sha512(data.data(), data.size());
    for (std::size_t piece = 1; piece <= 257; piece += 4) {
        Sha512 hasher;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            hasher.update(data.data() + at, std::min(piece, data.size() - at));
        }
        EXPECT_EQ(hasher.finish(), whole) << "pieces of " << piece;
    }
}

TEST(Sha256Paths, ExtensionsAndPortableAgreeOnRandomLengths) {
    if (!detail::cpu_has_sha_extensions()) {
        GTEST_SKIP() << "this processor has no SHA extensions";
    }
    EXPECT_TRUE(sha256_hardware_accelerated());
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        const std::size_t size = rng() % 5000;
        const std::string data = random_bytes(size, static_cast<std::uint32_t>(round));
        detail::force_portable_sha256(true);
        const Sha256Digest portable = sha256(data.data(), data.size());
        detail::force_portable_sha256(false);
        EXPECT_EQ(sha256(data.data(), data.size()), portable) << "length " << size;
    }
}

// The compression functions alone, from arbitrary chaining values, over several blocks.
TEST(Sha256Paths, CompressionFunctionsAgreeFromAnyState) {
    if (!detail::cpu_has_sha_extensions()) {
        GTEST_SKIP() << "this processor has no SHA extensions";
    }
    std::mt19937 rng(12);
    for (int round = 0; round < 50; ++round) {
        std::uint32_t a[8], b[8];
        for (int i = 0; i < 8; ++i) {
            a[i] = b[i] = static_cast<std::uint32_t>(rng());
        }
        const std::size_t blocks = 1 + round % 7;
        const std::string data = random_bytes(64 * blocks, static_cast<std::uint32_t>(100 + round));
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
        detail::sha256_blocks_portable(a, bytes, blocks);
        detail::sha256_blocks_shani(b, bytes, blocks);
        EXPECT_EQ(std::vector<std::uint32_t>(a, a + 8), std::vector<std::uint32_t>(b, b + 8));
    }
}

TEST(ToHex, LowerCaseTwoDigitsPerByte) {
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
    EXPECT_EQ(to_hex(bytes, sizeof bytes), "000fa0ff5c");
    EXPECT_EQ(to_hex(bytes, 0), "");
}

TEST_P(BothSha256Paths, FileOfEachBoundarySizeMatchesInMemoryDigest) {
    test::TempDir dir;
    // Around the 1 MiB read block, and several blocks with a tail.
    for (std::size_t size : {std::size_t{1}, std::size_t{1048575}, std::size_t{1048576},
                             std::size_t{1048577}, std::size_t{3 * 1048576 + 17}}) {
        const std::string content = random_bytes(size, static_cast<std::uint32_t>(size));
        // Appended piecewise: mingw's GCC 12 misreads "f" + to_string(...) as an overlapping copy.
        std::string name = std::to_string(size);
        name += ".bin";
        const auto path = dir.write(name, content);
        EXPECT_EQ(sha256_file(path.string()), hex256(content)) << size << " bytes";
    }
}

// Bytes that a text-mode read would change (CR LF, Ctrl-Z) must reach the hash untouched.
TEST(Sha256File, ReadsInBinaryMode) {
    test::TempDir dir;
    const std::string content = std::string("line\r\nnext\r\n\x1a after ctrl-z\n\r", 29);
    const auto path = dir.write("text.txt", content);
    EXPECT_EQ(sha256_file(path.string()), hex256(content));
}

TEST(Sha256File, EmptyFileGivesTheEmptyMessageDigest) {
    test::TempDir dir;
    const auto path = dir.write("empty.dat", "");
    EXPECT_EQ(sha256_file(path.string()),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256File, UnopenableFileGivesEmptyText) {
    test::TempDir dir;
    EXPECT_EQ(sha256_file((dir.path() / "missing.dat").string()), "");
    EXPECT_EQ(sha256_file((dir.path() / "no" / "such" / "dir.dat").string()), "");
    // A folder is not a file: no digest, rather than the empty message's.
    EXPECT_EQ(sha256_file(dir.str()), "");
}

INSTANTIATE_TEST_SUITE_P(Sha256, BothSha256Paths, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Portable") : std::string("Preferred");
                         });

}  // namespace
}  // namespace km::updater
