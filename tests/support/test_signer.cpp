#include "tests/support/test_signer.h"

#include "updater/ed25519.h"
#include "updater/sha512.h"

namespace km::test {
namespace {

namespace ed = updater::ed25519;

// SHA-512 of the seed: the clamped secret scalar in bytes 0-31, the nonce prefix in 32-63.
updater::Sha512Digest expand(const std::uint8_t seed[32]) {
    updater::Sha512Digest key = updater::sha512(seed, 32);
    key[0] &= 248;
    key[31] = static_cast<std::uint8_t>((key[31] & 127) | 64);
    return key;
}

// (r + k * a) mod L for 32-byte little-endian r, k, a: the product fits in 64 bytes, and
// reduce_mod_l takes a 64-byte value.
void mul_add_mod_l(const std::uint8_t r[32], const std::uint8_t k[32], const std::uint8_t a[32],
                   std::uint8_t out[32]) {
    std::uint64_t wide[64] = {};
    for (int i = 0; i < 32; ++i)
        for (int j = 0; j < 32; ++j)
            wide[i + j] += static_cast<std::uint64_t>(k[i]) * a[j];
    std::uint8_t bytes[64];
    std::uint64_t carry = 0;
    for (int i = 0; i < 64; ++i) {
        const std::uint64_t v = wide[i] + (i < 32 ? r[i] : 0) + carry;
        bytes[i] = static_cast<std::uint8_t>(v & 0xFF);
        carry = v >> 8;
    }
    ed::reduce_mod_l(bytes, out);
}

}  // namespace

const std::uint8_t dev_seed[32] = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a,
                                   0xf4, 0x92, 0xec, 0x2c, 0xc4, 0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32,
                                   0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};

std::array<std::uint8_t, 32> ed25519_public_key(const std::uint8_t seed[32]) {
    const updater::Sha512Digest key = expand(seed);
    std::array<std::uint8_t, 32> out;
    ed::encode_point(ed::scalar_mult(ed::base_point(), key.data()), out.data());
    return out;
}

std::array<std::uint8_t, 64> ed25519_sign(const std::uint8_t seed[32], const void* msg,
                                          std::size_t len) {
    const updater::Sha512Digest key = expand(seed);
    const std::array<std::uint8_t, 32> public_key = ed25519_public_key(seed);

    updater::Sha512 nonce_hash;
    nonce_hash.update(key.data() + 32, 32);
    nonce_hash.update(msg, len);
    std::uint8_t r[32];
    ed::reduce_mod_l(nonce_hash.finish().data(), r);

    std::array<std::uint8_t, 64> signature;
    ed::encode_point(ed::scalar_mult(ed::base_point(), r), signature.data());

    updater::Sha512 challenge_hash;
    challenge_hash.update(signature.data(), 32);
    challenge_hash.update(public_key.data(), 32);
    challenge_hash.update(msg, len);
    std::uint8_t k[32];
    ed::reduce_mod_l(challenge_hash.finish().data(), k);

    mul_add_mod_l(r, k, key.data(), signature.data() + 32);
    return signature;
}

std::string dev_signature(const std::string& message) {
    const auto signature = ed25519_sign(dev_seed, message.data(), message.size());
    return std::string(reinterpret_cast<const char*>(signature.data()), signature.size());
}

std::string from_hex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace km::test
