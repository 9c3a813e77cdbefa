// SHA-512 on both compression paths against OpenSSL: every length a padding or a four-block
// batch of the vector schedule can turn on, whole and fed in uneven pieces.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "updater/sha512.h"

namespace km::updater {
namespace {

std::vector<std::uint8_t> openssl_sha512(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> out(64);
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &size, EVP_sha512(), nullptr), 1);
    return out;
}

std::vector<std::uint8_t> ours_in_pieces(const std::vector<std::uint8_t>& data, std::size_t piece) {
    Sha512 hasher;
    for (std::size_t at = 0; at < data.size(); at += piece) {
        piece = std::min(piece * 3 % 1021 + 1, data.size() - at);  // uneven: crosses every edge
        hasher.update(data.data() + at, piece);
    }
    const Sha512Digest d = hasher.finish();
    return {d.begin(), d.end()};
}

TEST(Sha512Oracle, BothPathsMatchOpenSslAtEveryBoundary) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 1100; ++n) {
        lengths.push_back(n);  // up to eight blocks: every padding case, batches of 1 to 4 and 5+
    }
    for (std::size_t n : {1048575, 1048576, 1048577, 3080055}) {
        lengths.push_back(n);
    }
    std::mt19937_64 rng(5);
    std::vector<std::uint8_t> all(3080055);
    for (auto& b : all) {
        b = static_cast<std::uint8_t>(rng());
    }
    for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable" : (sha512_vector_scheduled() ? "avx2" : "preferred"));
        detail::force_portable_sha512(portable);
        for (std::size_t n : lengths) {
            const std::vector<std::uint8_t> data(all.begin(), all.begin() + n);
            const std::vector<std::uint8_t> expected = openssl_sha512(data);
            const Sha512Digest whole = sha512(data.data(), n);
            ASSERT_EQ(std::vector<std::uint8_t>(whole.begin(), whole.end()), expected) << n;
            ASSERT_EQ(ours_in_pieces(data, n % 7 + 1), expected) << n << " in pieces";
        }
    }
    detail::force_portable_sha512(false);
}

}  // namespace
}  // namespace km::updater
