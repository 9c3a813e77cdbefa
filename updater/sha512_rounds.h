// The SHA-512 rounds shared by the portable compression and the vector-scheduled one. Internal
// linkage on purpose: each translation unit compiles them for its own instruction set (rorx
// where the caller is built for BMI2), and no out-of-line copy may be shared between them.
#pragma once

#include <cstdint>

namespace km::updater::sha512_rounds {

extern const std::uint64_t round_constants[80];

[[gnu::always_inline]] static inline std::uint64_t rotr(std::uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

// One round with the message word and its constant already added (wk). The callers rotate the
// roles of the eight working variables instead of moving them. bc holds b ^ c on entry and
// a ^ b on return, which is the next round's b ^ c: majority then costs three operations.
[[gnu::always_inline]] static inline void round(std::uint64_t a, std::uint64_t b, std::uint64_t& d,
                                                std::uint64_t e, std::uint64_t f, std::uint64_t g,
                                                std::uint64_t& h, std::uint64_t wk,
                                                std::uint64_t& bc) {
    // The sum that leads to the next e is ordered so that only its last additions wait for e's
    // rotations: h + wk is ready before the round starts.
    const std::uint64_t big_sigma1 = rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41);
    const std::uint64_t choose = g ^ (e & (f ^ g));
    const std::uint64_t hw = h + wk;
    d += hw + choose + big_sigma1;
    const std::uint64_t t1 = hw + choose + big_sigma1;
    const std::uint64_t ab = a ^ b;
    h = t1 + (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + (b ^ (ab & bc));
    bc = ab;
}

// Rounds i to i + 7; wk(j) gives round j's message word plus its constant. After eight rounds
// every variable is back in its own role.
template <typename WordPlusConstant>
[[gnu::always_inline]] static inline void eight_rounds(std::uint64_t& a, std::uint64_t& b,
                                                       std::uint64_t& c, std::uint64_t& d,
                                                       std::uint64_t& e, std::uint64_t& f,
                                                       std::uint64_t& g, std::uint64_t& h,
                                                       std::uint64_t& bc, int i,
                                                       WordPlusConstant wk) {
    round(a, b, d, e, f, g, h, wk(i), bc);
    round(h, a, c, d, e, f, g, wk(i + 1), bc);
    round(g, h, b, c, d, e, f, wk(i + 2), bc);
    round(f, g, a, b, c, d, e, wk(i + 3), bc);
    round(e, f, h, a, b, c, d, wk(i + 4), bc);
    round(d, e, g, h, a, b, c, wk(i + 5), bc);
    round(c, d, f, g, h, a, b, wk(i + 6), bc);
    round(b, c, e, f, g, h, a, wk(i + 7), bc);
}

}  // namespace km::updater::sha512_rounds
