#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

// Every byte value, with CR LF and Ctrl-Z that a text-mode read would change.
std::string random_bytes(std::size_t size) {
    return test::noise(size, static_cast<unsigned>(size))
        .replace(0, std::min<std::size_t>(size, 4), "\r\n\x1a\n", std::min<std::size_t>(size, 4));
}

// Piecewise updates of every size from 1 to 129 cross the block buffer at every offset.
template <class Hasher, class Digest>
void expect_piecewise_matches(const Digest& whole, const std::string& data) {
    for (std::size_t piece = 1; piece <= 129; ++piece) {
        Hasher hasher;
        for (std::size_t at = 0; at < data.size(); at += piece)
            hasher.update(data.data() + at, std::min(piece, data.size() - at));
        EXPECT_EQ(hasher.finish(), whole) << "pieces of " << piece;
    }
}

// Runs the body once on the path the processor chose and once on the portable path.
class BothSha256Paths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { detail::force_portable_sha256(GetParam()); }
    void TearDown() override { detail::force_portable_sha256(false); }
};

TEST_P(BothSha256Paths, FipsVectorsAndPiecewiseUpdates) {
    const struct {
        std::string message;
        const char* sha256;
        const char* sha512;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
         "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
         "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        // The longest messages whose length still fits in the last block.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318",
         "b0220c772cbf6c1822e2cb38a437d0e1d58772417a4bbb21c961364f8b6143e0"
         "5aa6316dca8d1d7b19e16448419076395f6086cb55101fbd6d5497b148e1745f"},
        {std::string(111, 'a'), "6374f73208854473827f6f6a3f43b1f53eaa3b82c21c1a6d69a2110b2a79baad",
         "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760"
         "b4beff48404df811b953828274461673c68d04e297b0eb7b2b4d60fc6b566a2"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(hex256(v.message), v.sha256) << v.message.substr(0, 8);
        EXPECT_EQ(hex512(v.message), v.sha512) << v.message.substr(0, 8);
    }
    EXPECT_EQ(sha256_hardware_accelerated(), detail::cpu_has_sha_extensions());
    const std::string data = random_bytes(1000);
    expect_piecewise_matches<Sha256>(sha256(data.data(), data.size()), data);
    expect_piecewise_matches<Sha512>(sha512(data.data(), data.size()), data);
}

// Around the 1 MiB read block, several blocks with a tail, and nothing at all; read in binary.
TEST_P(BothSha256Paths, FileDigestMatchesInMemoryDigest) {
    test::TempDir dir;
    for (std::size_t size :
         std::initializer_list<std::size_t>{0, 1048575, 1048576, 1048577, 3145745}) {
        const std::string content = random_bytes(size);
        // Appended piecewise: mingw's GCC 12 misreads "f" + to_string(...) as an overlapping copy.
        std::string name = std::to_string(size);
        name += ".bin";
        EXPECT_EQ(sha256_file(dir.write(name, content).string()), hex256(content)) << size;
    }
    // No digest, rather than the empty message's, for what cannot be read as a file.
    EXPECT_EQ(sha256_file((dir.path() / "missing.dat").string()), "");
    EXPECT_EQ(sha256_file(dir.str()), "");
}

INSTANTIATE_TEST_SUITE_P(Sha256, BothSha256Paths, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Portable") : std::string("Preferred");
                         });

}  // namespace
}  // namespace km::updater
