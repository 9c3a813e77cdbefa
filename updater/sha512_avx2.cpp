// The SHA-512 compression with the message schedule of four blocks computed at once in AVX2
// vectors (one block per 64-bit lane), then the rounds of each block in scalar registers with
// BMI2's rorx. The rounds depend on one another and cannot be vectorised; taking the schedule
// off their path leaves the processor only the rounds' own chain. Only this unit's functions
// with the target attribute use the extensions; they run only after CPUID reported them.
#include "updater/sha512.h"
#include "updater/sha512_rounds.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace km::updater::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

using sha512_rounds::eight_rounds;
using sha512_rounds::round_constants;

constexpr int lanes = 4;

#define KM_AVX2 __attribute__((target("avx2,bmi2")))

KM_AVX2 inline __m256i ror(__m256i x, int n) {
    return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}

// Round i's message word plus its constant for every lane, for i from 0 to 79: wk[i * 4 + lane].
KM_AVX2 void schedule(const std::uint8_t* const block[lanes], std::uint64_t* wk) {
    const __m256i byte_swap = _mm256_set_epi64x(0x08090a0b0c0d0e0fULL, 0x0001020304050607ULL,
                                                0x08090a0b0c0d0e0fULL, 0x0001020304050607ULL);
    __m256i w[16];
    for (int q = 0; q < 4; ++q) {
        __m256i r[lanes];
        for (int b = 0; b < lanes; ++b) {
            r[b] = _mm256_shuffle_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block[b] + 32 * q)), byte_swap);
        }
        // Transpose: r[b] holds words 4q..4q+3 of block b; w[4q + k] gets word 4q+k of all four.
        const __m256i t0 = _mm256_unpacklo_epi64(r[0], r[1]);
        const __m256i t1 = _mm256_unpackhi_epi64(r[0], r[1]);
        const __m256i t2 = _mm256_unpacklo_epi64(r[2], r[3]);
        const __m256i t3 = _mm256_unpackhi_epi64(r[2], r[3]);
        w[4 * q] = _mm256_permute2x128_si256(t0, t2, 0x20);
        w[4 * q + 1] = _mm256_permute2x128_si256(t1, t3, 0x20);
        w[4 * q + 2] = _mm256_permute2x128_si256(t0, t2, 0x31);
        w[4 * q + 3] = _mm256_permute2x128_si256(t1, t3, 0x31);
    }
#pragma GCC unroll 80
    for (int i = 0; i < 80; ++i) {
        if (i >= 16) {
            const __m256i x15 = w[(i - 15) & 15];
            const __m256i x2 = w[(i - 2) & 15];
            const __m256i s0 = _mm256_xor_si256(_mm256_xor_si256(ror(x15, 1), ror(x15, 8)),
                                                _mm256_srli_epi64(x15, 7));
            const __m256i s1 = _mm256_xor_si256(_mm256_xor_si256(ror(x2, 19), ror(x2, 61)),
                                                _mm256_srli_epi64(x2, 6));
            w[i & 15] = _mm256_add_epi64(_mm256_add_epi64(w[i & 15], s0),
                                         _mm256_add_epi64(w[(i - 7) & 15], s1));
        }
        const __m256i k = _mm256_set1_epi64x(static_cast<long long>(round_constants[i]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(wk + lanes * i),
                            _mm256_add_epi64(w[i & 15], k));
    }
}

KM_AVX2 void rounds(std::uint64_t state[8], const std::uint64_t* wk) {
    std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    std::uint64_t bc = b ^ c;
    const auto word = [wk](int j) { return wk[lanes * j]; };
#pragma GCC unroll 10
    for (int i = 0; i < 80; i += 8) {
        eight_rounds(a, b, c, d, e, f, g, h, bc, i, word);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

bool cpu_has_avx2() {
    // __builtin_cpu_supports also asks the system whether it saves the vector registers.
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
}

KM_AVX2 void sha512_blocks_avx2(std::uint64_t state[8], const std::uint8_t* data,
                                std::size_t blocks) {
    alignas(32) std::uint64_t wk[80 * lanes];
    while (blocks > 0) {
        const std::size_t now = blocks < lanes ? blocks : lanes;
        // Lanes past the last block schedule that block again; their words are never used.
        const std::uint8_t* block[lanes];
        for (std::size_t b = 0; b < lanes; ++b) {
            block[b] = data + 128 * (b < now ? b : now - 1);
        }
        schedule(block, wk);
        for (std::size_t b = 0; b < now; ++b) {
            rounds(state, wk + b);
        }
        data += 128 * now;
        blocks -= now;
    }
}

#undef KM_AVX2

#else

// No AVX2 outside x86: the portable compression is always the one chosen.
bool cpu_has_avx2() {
    return false;
}

void sha512_blocks_avx2(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks) {
    sha512_blocks_portable(state, data, blocks);
}

#endif

}  // namespace km::updater::detail
