// The edwards25519 group of RFC 8032: what an Ed25519 signature check computes on.
#pragma once

#include <cstdint>

namespace km::updater::ed25519 {

// An element of the field modulo 2^255 - 19 in five 51-bit limbs, not necessarily fully reduced.
struct FieldElement {
    std::uint64_t limb[5];
};

// A curve point in extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
struct Point {
    FieldElement x, y, z, t;
};

// RFC 8032 point decoding: false when y is not below p or no x exists for it.
bool decode_point(const std::uint8_t encoded[32], Point& out);
// RFC 8032 point encoding: y little-endian, the sign of x in the top bit.
void encode_point(const Point& point, std::uint8_t out[32]);

Point negate(const Point& point);
Point add(const Point& a, const Point& b);
// [scalar]point over all 256 bits of the little-endian scalar, top bit first, with conditional
// swaps in place of branches: the running time does not depend on the scalar.
Point scalar_mult(const Point& point, const std::uint8_t scalar[32]);
// The standard base point B.
const Point& base_point();

// The 64-byte little-endian integer `wide` reduced modulo the group order L, little-endian.
void reduce_mod_l(const std::uint8_t wide[64], std::uint8_t out[32]);

}  // namespace km::updater::ed25519
