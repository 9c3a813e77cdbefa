// Ed25519 signature checks (RFC 8032 PureEd25519) of the update manifest.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "km/build_config.h"
#include "updater/ed25519.h"
#include "updater/manifest.h"
#include "updater/sha512.h"

namespace km::updater {
namespace {

constexpr std::uint8_t hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    // Not a constant expression: a bad digit in the build's key stops the compilation.
    throw "manifest public key holds a character that is not a hex digit";
}

constexpr std::uint8_t key_byte(std::size_t i) {
    return static_cast<std::uint8_t>(hex_value(build::manifest_public_key_hex[2 * i]) << 4 |
                                     hex_value(build::manifest_public_key_hex[2 * i + 1]));
}

static_assert(sizeof build::manifest_public_key_hex == 65, "the public key is 64 hex digits");

}  // namespace

// Constant-initialised: usable from any thread and from other static initialisers.
constinit const std::uint8_t manifest_public_key[32] = {
    key_byte(0),  key_byte(1),  key_byte(2),  key_byte(3),  key_byte(4),  key_byte(5),
    key_byte(6),  key_byte(7),  key_byte(8),  key_byte(9),  key_byte(10), key_byte(11),
    key_byte(12), key_byte(13), key_byte(14), key_byte(15), key_byte(16), key_byte(17),
    key_byte(18), key_byte(19), key_byte(20), key_byte(21), key_byte(22), key_byte(23),
    key_byte(24), key_byte(25), key_byte(26), key_byte(27), key_byte(28), key_byte(29),
    key_byte(30), key_byte(31)};

namespace {

// S < L, compared from the most significant byte down. An S of L or more is a second encoding of
// a valid signature's S: no honest signer makes one, and RFC 8032 requires refusing it.
bool scalar_below_order(const std::uint8_t* s) {
    static constexpr std::uint8_t order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                               0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                               0,    0,    0,    0,    0,    0,    0,    0,
                                               0,    0,    0,    0,    0,    0,    0,    0x10};
    for (int i = 31; i >= 0; --i) {
        if (s[i] != order[i]) {
            return s[i] < order[i];
        }
    }
    return false;
}

}  // namespace

bool verify_ed25519(const std::uint8_t* public_key, const std::uint8_t* signature,
                    const std::uint8_t* message, std::size_t length) {
    if (!scalar_below_order(signature + 32)) {
        return false;
    }
    ed25519::Point key;
    if (!ed25519::decode_point(public_key, key)) {
        return false;
    }
    const ed25519::Point negated_key = ed25519::negate(key);

    if (length > static_cast<std::size_t>(-1) - 64) {
        return false;
    }
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[64 + length]);
    if (!buffer) {
        return false;
    }
    std::memcpy(buffer.get(), signature, 32);
    std::memcpy(buffer.get() + 32, public_key, 32);
    if (length > 0) {
        std::memcpy(buffer.get() + 64, message, length);
    }
    const Sha512Digest digest = sha512(buffer.get(), 64 + length);
    buffer.reset();

    std::uint8_t k[32];
    ed25519::reduce_mod_l(digest.data(), k);
    const ed25519::Point sum =
        ed25519::add(ed25519::scalar_mult(negated_key, k),
                     ed25519::scalar_mult(ed25519::base_point(), signature + 32));
    std::uint8_t encoded[32];
    ed25519::encode_point(sum, encoded);

    // R is compared as bytes, never decoded; no early exit on the first difference.
    std::uint8_t difference = 0;
    for (int i = 0; i < 32; ++i) {
        difference = static_cast<std::uint8_t>(difference | (encoded[i] ^ signature[i]));
    }
    return difference == 0;
}

bool verify_manifest_signature(const std::uint8_t* signature, const std::uint8_t* message,
                               std::size_t length) {
    return verify_ed25519(manifest_public_key, signature, message, length);
}

}  // namespace km::updater
