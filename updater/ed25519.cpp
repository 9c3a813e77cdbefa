#include "updater/ed25519.h"

#include <cstring>

namespace km::updater::ed25519 {
namespace {

__extension__ typedef unsigned __int128 u128;
using u64 = std::uint64_t;
using Fe = FieldElement;

constexpr u64 mask51 = (u64{1} << 51) - 1;

// Brings every limb below 2^51 (the lowest two may keep a tiny excess) without a full reduction.
inline void carry(Fe& h) {
    for (int i = 0; i < 4; ++i) {
        h.limb[i + 1] += h.limb[i] >> 51;
        h.limb[i] &= mask51;
    }
    const u64 top = h.limb[4] >> 51;
    h.limb[4] &= mask51;
    h.limb[0] += top * 19;
    h.limb[1] += h.limb[0] >> 51;
    h.limb[0] &= mask51;
}

inline Fe fe_small(u64 value) {
    return Fe{{value, 0, 0, 0, 0}};
}

inline Fe fe_add(const Fe& a, const Fe& b) {
    Fe h;
    for (int i = 0; i < 5; ++i) {
        h.limb[i] = a.limb[i] + b.limb[i];
    }
    carry(h);
    return h;
}

// Adds 4p first so that no limb goes below zero for any carried operand.
inline Fe fe_sub(const Fe& a, const Fe& b) {
    constexpr u64 four_p_low = 0x1FFFFFFFFFFFB4ULL;
    constexpr u64 four_p_high = 0x1FFFFFFFFFFFFCULL;
    Fe h;
    h.limb[0] = a.limb[0] + four_p_low - b.limb[0];
    for (int i = 1; i < 5; ++i) {
        h.limb[i] = a.limb[i] + four_p_high - b.limb[i];
    }
    carry(h);
    return h;
}

inline Fe fe_neg(const Fe& a) {
    return fe_sub(fe_small(0), a);
}

inline Fe reduce_wide(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
    Fe h;
    r1 += static_cast<u64>(r0 >> 51);
    h.limb[0] = static_cast<u64>(r0) & mask51;
    r2 += static_cast<u64>(r1 >> 51);
    h.limb[1] = static_cast<u64>(r1) & mask51;
    r3 += static_cast<u64>(r2 >> 51);
    h.limb[2] = static_cast<u64>(r2) & mask51;
    r4 += static_cast<u64>(r3 >> 51);
    h.limb[3] = static_cast<u64>(r3) & mask51;
    h.limb[4] = static_cast<u64>(r4) & mask51;
    h.limb[0] += static_cast<u64>(r4 >> 51) * 19;
    h.limb[1] += h.limb[0] >> 51;
    h.limb[0] &= mask51;
    return h;
}

inline Fe fe_mul(const Fe& a, const Fe& b) {
    const u64 a0 = a.limb[0], a1 = a.limb[1], a2 = a.limb[2], a3 = a.limb[3], a4 = a.limb[4];
    const u64 b0 = b.limb[0], b1 = b.limb[1], b2 = b.limb[2], b3 = b.limb[3], b4 = b.limb[4];
    const u64 b1_19 = b1 * 19, b2_19 = b2 * 19, b3_19 = b3 * 19, b4_19 = b4 * 19;
    const u128 r0 =
        u128{a0} * b0 + u128{a1} * b4_19 + u128{a2} * b3_19 + u128{a3} * b2_19 + u128{a4} * b1_19;
    const u128 r1 =
        u128{a0} * b1 + u128{a1} * b0 + u128{a2} * b4_19 + u128{a3} * b3_19 + u128{a4} * b2_19;
    const u128 r2 =
        u128{a0} * b2 + u128{a1} * b1 + u128{a2} * b0 + u128{a3} * b4_19 + u128{a4} * b3_19;
    const u128 r3 =
        u128{a0} * b3 + u128{a1} * b2 + u128{a2} * b1 + u128{a3} * b0 + u128{a4} * b4_19;
    const u128 r4 = u128{a0} * b4 + u128{a1} * b3 + u128{a2} * b2 + u128{a3} * b1 + u128{a4} * b0;
    return reduce_wide(r0, r1, r2, r3, r4);
}

inline Fe fe_sq(const Fe& a) {
    const u64 a0 = a.limb[0], a1 = a.limb[1], a2 = a.limb[2], a3 = a.limb[3], a4 = a.limb[4];
    const u64 a0_2 = a0 * 2, a1_2 = a1 * 2;
    const u64 a1_38 = a1 * 38, a2_38 = a2 * 38, a3_38 = a3 * 38, a3_19 = a3 * 19, a4_19 = a4 * 19;
    const u128 r0 = u128{a0} * a0 + u128{a1_38} * a4 + u128{a2_38} * a3;
    const u128 r1 = u128{a0_2} * a1 + u128{a2_38} * a4 + u128{a3_19} * a3;
    const u128 r2 = u128{a0_2} * a2 + u128{a1} * a1 + u128{a3_38} * a4;
    const u128 r3 = u128{a0_2} * a3 + u128{a1_2} * a2 + u128{a4_19} * a4;
    const u128 r4 = u128{a0_2} * a4 + u128{a1_2} * a3 + u128{a2} * a2;
    return reduce_wide(r0, r1, r2, r3, r4);
}

inline Fe fe_sq_times(Fe a, int times) {
    for (int i = 0; i < times; ++i) {
        a = fe_sq(a);
    }
    return a;
}

// The fully reduced value, 32 bytes little-endian.
void fe_to_bytes(const Fe& a, std::uint8_t out[32]) {
    Fe h = a;
    carry(h);
    carry(h);
    // Now h < 2^255; subtract p once when h >= p, which shows as a carry out of h + 19.
    u64 q = (h.limb[0] + 19) >> 51;
    for (int i = 1; i < 5; ++i) {
        q = (h.limb[i] + q) >> 51;
    }
    h.limb[0] += 19 * q;
    for (int i = 0; i < 4; ++i) {
        h.limb[i + 1] += h.limb[i] >> 51;
        h.limb[i] &= mask51;
    }
    h.limb[4] &= mask51;
    const u64 words[4] = {h.limb[0] | (h.limb[1] << 51), (h.limb[1] >> 13) | (h.limb[2] << 38),
                          (h.limb[2] >> 26) | (h.limb[3] << 25),
                          (h.limb[3] >> 39) | (h.limb[4] << 12)};
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 8; ++i) {
            out[8 * w + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
        }
    }
}

// Bits 0..254 of the input; the top bit is the caller's business.
Fe fe_from_bytes(const std::uint8_t in[32]) {
    u64 words[4] = {};
    for (int w = 0; w < 4; ++w) {
        for (int i = 7; i >= 0; --i) {
            words[w] = (words[w] << 8) | in[8 * w + i];
        }
    }
    Fe h;
    h.limb[0] = words[0] & mask51;
    h.limb[1] = ((words[0] >> 51) | (words[1] << 13)) & mask51;
    h.limb[2] = ((words[1] >> 38) | (words[2] << 26)) & mask51;
    h.limb[3] = ((words[2] >> 25) | (words[3] << 39)) & mask51;
    h.limb[4] = (words[3] >> 12) & mask51;
    return h;
}

bool fe_equal(const Fe& a, const Fe& b) {
    std::uint8_t ea[32], eb[32];
    fe_to_bytes(a, ea);
    fe_to_bytes(b, eb);
    return std::memcmp(ea, eb, 32) == 0;
}

// z^(2^250 - 1), with z^11 on the side: the common trunk of inversion and square root.
Fe pow_2_250_minus_1(const Fe& z, Fe& z11) {
    const Fe z2 = fe_sq(z);
    const Fe z9 = fe_mul(fe_sq_times(z2, 2), z);
    z11 = fe_mul(z9, z2);
    const Fe z_5 = fe_mul(fe_sq(z11), z9);                 // 2^5 - 1
    const Fe z_10 = fe_mul(fe_sq_times(z_5, 5), z_5);      // 2^10 - 1
    const Fe z_20 = fe_mul(fe_sq_times(z_10, 10), z_10);   // 2^20 - 1
    const Fe z_40 = fe_mul(fe_sq_times(z_20, 20), z_20);   // 2^40 - 1
    const Fe z_50 = fe_mul(fe_sq_times(z_40, 10), z_10);   // 2^50 - 1
    const Fe z_100 = fe_mul(fe_sq_times(z_50, 50), z_50);  // 2^100 - 1
    const Fe z_200 = fe_mul(fe_sq_times(z_100, 100), z_100);
    return fe_mul(fe_sq_times(z_200, 50), z_50);  // 2^250 - 1
}

// z^(p - 2) = 1/z (0 for 0).
Fe fe_invert(const Fe& z) {
    Fe z11;
    const Fe t = pow_2_250_minus_1(z, z11);
    return fe_mul(fe_sq_times(t, 5), z11);  // 2^255 - 32 + 11
}

// z^((p - 5) / 8) = z^(2^252 - 3).
Fe fe_pow_p58(const Fe& z) {
    Fe z11;
    const Fe t = pow_2_250_minus_1(z, z11);
    return fe_mul(fe_sq_times(t, 2), z);
}

bool fe_is_odd(const Fe& a) {
    std::uint8_t bytes[32];
    fe_to_bytes(a, bytes);
    return (bytes[0] & 1) != 0;
}

bool fe_is_zero(const Fe& a) {
    std::uint8_t bytes[32];
    fe_to_bytes(a, bytes);
    std::uint8_t any = 0;
    for (std::uint8_t b : bytes) {
        any |= b;
    }
    return any == 0;
}

inline void fe_cswap(Fe& a, Fe& b, u64 swap) {
    const u64 mask = 0 - swap;
    for (int i = 0; i < 5; ++i) {
        const u64 t = mask & (a.limb[i] ^ b.limb[i]);
        a.limb[i] ^= t;
        b.limb[i] ^= t;
    }
}

struct Curve {
    Fe d2;       // 2d, d = -121665/121666
    Fe d;        // the curve constant itself
    Fe sqrt_m1;  // 2^((p - 1) / 4), a square root of -1
    Point base;
};

bool decode_with(const Curve& curve, const std::uint8_t encoded[32], Point& out) {
    const Fe y = fe_from_bytes(encoded);
    // A y of p or above has a second, shorter encoding; only the canonical one is accepted.
    std::uint8_t canonical[32];
    fe_to_bytes(y, canonical);
    canonical[31] |= encoded[31] & 0x80;
    if (std::memcmp(canonical, encoded, 32) != 0) {
        return false;
    }
    const bool x_odd = (encoded[31] >> 7) != 0;
    const Fe one = fe_small(1);
    const Fe y2 = fe_sq(y);
    const Fe u = fe_sub(y2, one);
    const Fe v = fe_add(fe_mul(curve.d, y2), one);
    const Fe v3 = fe_mul(fe_sq(v), v);
    const Fe v7 = fe_mul(fe_sq(v3), v);
    Fe x = fe_mul(fe_mul(u, v3), fe_pow_p58(fe_mul(u, v7)));
    const Fe vx2 = fe_mul(v, fe_sq(x));
    if (!fe_equal(vx2, u)) {
        if (!fe_equal(vx2, fe_neg(u))) {
            return false;
        }
        x = fe_mul(x, curve.sqrt_m1);
    }
    if (fe_is_zero(x) && x_odd) {
        return false;
    }
    if (fe_is_odd(x) != x_odd) {
        x = fe_neg(x);
    }
    out.x = x;
    out.y = y;
    out.z = one;
    out.t = fe_mul(x, y);
    return true;
}

Curve make_curve() {
    Curve curve;
    curve.d = fe_mul(fe_neg(fe_small(121665)), fe_invert(fe_small(121666)));
    curve.d2 = fe_add(curve.d, curve.d);
    // (p - 1) / 4 = 2^253 - 5, little-endian; square-and-multiply is fine for a constant.
    std::uint8_t exponent[32];
    std::memset(exponent, 0xff, sizeof exponent);
    exponent[0] = 0xfb;
    exponent[31] = 0x1f;
    Fe result = fe_small(1);
    const Fe two = fe_small(2);
    for (int bit = 255; bit >= 0; --bit) {
        result = fe_sq(result);
        if ((exponent[bit / 8] >> (bit % 8)) & 1) {
            result = fe_mul(result, two);
        }
    }
    curve.sqrt_m1 = result;
    // B has y = 4/5 and an even x.
    std::uint8_t base[32];
    std::memset(base, 0x66, sizeof base);
    base[0] = 0x58;
    decode_with(curve, base, curve.base);
    return curve;
}

const Curve& curve() {
    static const Curve instance = make_curve();
    return instance;
}

inline void point_cswap(Point& a, Point& b, u64 swap) {
    fe_cswap(a.x, b.x, swap);
    fe_cswap(a.y, b.y, swap);
    fe_cswap(a.z, b.z, swap);
    fe_cswap(a.t, b.t, swap);
}

// Unified addition for a = -1 (Hisil, Wong, Carter, Dawson 2008): complete on edwards25519, so
// equal points, the identity and points of small order need no special case.
Point add_with(const Fe& d2, const Point& p, const Point& q) {
    const Fe a = fe_mul(fe_sub(p.y, p.x), fe_sub(q.y, q.x));
    const Fe b = fe_mul(fe_add(p.y, p.x), fe_add(q.y, q.x));
    const Fe c = fe_mul(fe_mul(p.t, d2), q.t);
    const Fe zz = fe_mul(p.z, q.z);
    const Fe d = fe_add(zz, zz);
    const Fe e = fe_sub(b, a);
    const Fe f = fe_sub(d, c);
    const Fe g = fe_add(d, c);
    const Fe h = fe_add(b, a);
    return Point{fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

// Dedicated doubling for a = -1; it does not read T.
Point double_point(const Point& p) {
    const Fe a = fe_sq(p.x);
    const Fe b = fe_sq(p.y);
    const Fe zz = fe_sq(p.z);
    const Fe c = fe_add(zz, zz);
    const Fe e = fe_sub(fe_sub(fe_sq(fe_add(p.x, p.y)), a), b);
    const Fe g = fe_sub(b, a);
    const Fe f = fe_sub(g, c);
    const Fe h = fe_neg(fe_add(a, b));
    return Point{fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

}  // namespace

bool decode_point(const std::uint8_t encoded[32], Point& out) {
    return decode_with(curve(), encoded, out);
}

void encode_point(const Point& point, std::uint8_t out[32]) {
    const Fe z_inverse = fe_invert(point.z);
    const Fe x = fe_mul(point.x, z_inverse);
    const Fe y = fe_mul(point.y, z_inverse);
    fe_to_bytes(y, out);
    out[31] = static_cast<std::uint8_t>(out[31] | (fe_is_odd(x) ? 0x80 : 0x00));
}

Point negate(const Point& point) {
    return Point{fe_neg(point.x), point.y, point.z, fe_neg(point.t)};
}

Point add(const Point& a, const Point& b) {
    return add_with(curve().d2, a, b);
}

Point scalar_mult(const Point& point, const std::uint8_t scalar[32]) {
    const Fe& d2 = curve().d2;
    // Invariant: high - low == point, and low == [bits seen so far]point.
    Point low{fe_small(0), fe_small(1), fe_small(1), fe_small(0)};
    Point high = point;
    for (int bit = 255; bit >= 0; --bit) {
        const u64 set = (scalar[bit / 8] >> (bit % 8)) & 1;
        point_cswap(low, high, set);
        high = add_with(d2, low, high);
        low = double_point(low);
        point_cswap(low, high, set);
    }
    return low;
}

const Point& base_point() {
    return curve().base;
}

void reduce_mod_l(const std::uint8_t wide[64], std::uint8_t out[32]) {
    // L = 2^252 + 27742317777372353535851937790883648493, in 64-bit words, little-endian.
    constexpr u64 order[4] = {0x5812631a5cf5d3edULL, 0x14def9dea2f79cd6ULL, 0,
                              0x1000000000000000ULL};
    // Shift the input in bit by bit from the top, keeping the remainder below L. The remainder
    // stays under 2^253, so doubling it plus one bit fits in 256 bits.
    u64 r[4] = {};
    for (int bit = 511; bit >= 0; --bit) {
        const u64 in = (wide[bit / 8] >> (bit % 8)) & 1;
        r[3] = (r[3] << 1) | (r[2] >> 63);
        r[2] = (r[2] << 1) | (r[1] >> 63);
        r[1] = (r[1] << 1) | (r[0] >> 63);
        r[0] = (r[0] << 1) | in;
        u64 diff[4];
        u64 borrow = 0;
        for (int i = 0; i < 4; ++i) {
            const u128 d = u128{r[i]} - order[i] - borrow;
            diff[i] = static_cast<u64>(d);
            borrow = static_cast<u64>(d >> 64) & 1;
        }
        const u64 keep_diff = borrow - 1;  // all ones when r >= L
        for (int i = 0; i < 4; ++i) {
            r[i] = (diff[i] & keep_diff) | (r[i] & ~keep_diff);
        }
    }
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 8; ++i) {
            out[8 * w + i] = static_cast<std::uint8_t>(r[w] >> (8 * i));
        }
    }
}

}  // namespace km::updater::ed25519
