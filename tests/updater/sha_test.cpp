#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/temp_dir.h"
#include "updater/sha256.h"

namespace km::updater {
namespace {

// Every byte value, with CR LF and Ctrl-Z that a text-mode read would change.
std::string random_bytes(std::size_t size) {
    return test::noise(size, static_cast<unsigned>(size))
        .replace(0, std::min<std::size_t>(size, 4), "\r\n\x1a\n", std::min<std::size_t>(size, 4));
}

// Runs the body once on the path the processor chose and once on the portable path.
class BothSha256Paths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { detail::force_portable_sha256(GetParam()); }
    void TearDown() override { detail::force_portable_sha256(false); }
};

// The digests themselves are held to OpenSSL's by tests/oracle, SHA-512 in pieces too. Here
// pieces of every size from 1 to 129 cross the block buffer at every offset.
TEST_P(BothSha256Paths, PiecewiseUpdatesMatchTheWholeDigest) {
    EXPECT_EQ(sha256_hardware_accelerated(), detail::cpu_has_sha_extensions());
    const std::string data = random_bytes(1000);
    for (std::size_t piece = 1; piece <= 129; ++piece) {
        Sha256 hasher;
        for (std::size_t at = 0; at < data.size(); at += piece)
            hasher.update(data.data() + at, std::min(piece, data.size() - at));
        EXPECT_EQ(hasher.finish(), sha256(data.data(), data.size())) << "pieces of " << piece;
    }
}

// Around the 1 MiB read block, several blocks with a tail, and nothing at all; read in binary.
TEST_P(BothSha256Paths, FileDigestMatchesInMemoryDigest) {
    test::TempDir dir;
    for (std::size_t size :
         std::initializer_list<std::size_t>{0, 1048575, 1048576, 1048577, 3145745}) {
        const std::string content = random_bytes(size);
        const Sha256Digest d = sha256(content.data(), content.size());
        EXPECT_EQ(sha256_file(dir.write(std::to_string(size), content).string()),
                  to_hex(d.data(), d.size()))
            << size;
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
