#include "updater/sha512.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "updater/sha512_rounds.h"

namespace km::updater {

namespace sha512_rounds {

const std::uint64_t round_constants[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL};

}  // namespace sha512_rounds

namespace {

constexpr std::uint64_t initial_state[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

using sha512_rounds::eight_rounds;
using sha512_rounds::rotr;
using sha512_rounds::round_constants;

inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) {
        v = __builtin_bswap64(v);
    }
    return v;
}

using BlockFunction = void (*)(std::uint64_t*, const std::uint8_t*, std::size_t);

// Decided once: CPUID does not change while the process runs.
BlockFunction preferred_blocks() {
    static const BlockFunction chosen =
        detail::cpu_has_avx2() ? &detail::sha512_blocks_avx2 : &detail::sha512_blocks_portable;
    return chosen;
}

std::atomic<bool> portable_forced{false};

void compress(std::uint64_t* state, const std::uint8_t* data, std::size_t blocks) {
    if (portable_forced.load(std::memory_order_relaxed)) {
        detail::sha512_blocks_portable(state, data, blocks);
    } else {
        preferred_blocks()(state, data, blocks);
    }
}

}  // namespace

namespace detail {

// The message schedule is kept as a ring of sixteen words and computed between the rounds, so
// that its work fills the gaps of the rounds' dependency chain.
void sha512_blocks_portable(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 128) {
        std::uint64_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_be64(data + 8 * i);
        }
        std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint64_t bc = b ^ c;
        const auto first = [&](int j) { return w[j] + round_constants[j]; };
        const auto later = [&](int j) {
            const std::uint64_t x15 = w[(j - 15) & 15];
            const std::uint64_t x2 = w[(j - 2) & 15];
            std::uint64_t& x = w[j & 15];
            x += (rotr(x15, 1) ^ rotr(x15, 8) ^ (x15 >> 7)) + w[(j - 7) & 15] +
                 (rotr(x2, 19) ^ rotr(x2, 61) ^ (x2 >> 6));
            return x + round_constants[j];
        };
#pragma GCC unroll 2
        for (int i = 0; i < 16; i += 8) {
            eight_rounds(a, b, c, d, e, f, g, h, bc, i, first);
        }
#pragma GCC unroll 8
        for (int i = 16; i < 80; i += 8) {
            eight_rounds(a, b, c, d, e, f, g, h, bc, i, later);
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
}

void force_portable_sha512(bool on) {
    portable_forced.store(on, std::memory_order_relaxed);
}

}  // namespace detail

bool sha512_vector_scheduled() {
    return preferred_blocks() == &detail::sha512_blocks_avx2;
}

Sha512::Sha512() {
    std::memcpy(state_, initial_state, sizeof state_);
}

void Sha512::update(const void* data, std::size_t size) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    total_ += size;
    if (used_ > 0) {
        const std::size_t take = size < 128 - used_ ? size : 128 - used_;
        std::memcpy(block_ + used_, in, take);
        used_ += take;
        in += take;
        size -= take;
        if (used_ < 128) {
            return;
        }
        compress(state_, block_, 1);
        used_ = 0;
    }
    if (size >= 128) {
        compress(state_, in, size / 128);
        in += size / 128 * 128;
        size %= 128;
    }
    if (size > 0) {
        std::memcpy(block_, in, size);
        used_ = size;
    }
}

Sha512Digest Sha512::finish() {
    // The length field is 128 bits; its upper 64 bits hold what overflowed the byte count.
    const std::uint64_t bits_low = total_ << 3;
    const std::uint64_t bits_high = total_ >> 61;
    std::uint8_t tail[256] = {};
    std::memcpy(tail, block_, used_);
    tail[used_] = 0x80;
    const std::size_t tail_size = used_ + 17 <= 128 ? 128 : 256;
    for (int i = 0; i < 8; ++i) {
        tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits_low >> (8 * i));
        tail[tail_size - 9 - i] = static_cast<std::uint8_t>(bits_high >> (8 * i));
    }
    compress(state_, tail, tail_size / 128);
    Sha512Digest digest;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            digest[8 * i + j] = static_cast<std::uint8_t>(state_[i] >> (56 - 8 * j));
        }
    }
    return digest;
}

Sha512Digest sha512(const void* data, std::size_t size) {
    Sha512 hasher;
    hasher.update(data, size);
    return hasher.finish();
}

}  // namespace km::updater
