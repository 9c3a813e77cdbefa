#include "updater/sha256.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

namespace km::updater {
namespace {

constexpr std::uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::size_t file_block_size = 1048576;

inline std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

using BlockFunction = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

// Decided once: CPUID does not change while the process runs.
BlockFunction preferred_blocks() {
    static const BlockFunction chosen = detail::cpu_has_sha_extensions()
                                            ? &detail::sha256_blocks_shani
                                            : &detail::sha256_blocks_portable;
    return chosen;
}

std::atomic<bool> portable_forced{false};

void compress(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
    if (portable_forced.load(std::memory_order_relaxed)) {
        detail::sha256_blocks_portable(state, data, blocks);
    } else {
        preferred_blocks()(state, data, blocks);
    }
}

}  // namespace

namespace detail {

void sha256_blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_be32(data + 4 * i);
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t ch = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + ch + round_constants[i] + w[i];
            const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
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

void force_portable_sha256(bool on) {
    portable_forced.store(on, std::memory_order_relaxed);
}

}  // namespace detail

bool sha256_hardware_accelerated() {
    return preferred_blocks() == &detail::sha256_blocks_shani;
}

Sha256::Sha256() {
    std::memcpy(state_, initial_state, sizeof state_);
}

void Sha256::update(const void* data, std::size_t size) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    total_ += size;
    if (used_ > 0) {
        const std::size_t take = size < 64 - used_ ? size : 64 - used_;
        std::memcpy(block_ + used_, in, take);
        used_ += take;
        in += take;
        size -= take;
        if (used_ < 64) {
            return;
        }
        compress(state_, block_, 1);
        used_ = 0;
    }
    // Whole blocks straight from the caller's buffer: no copy on the hot path of file hashing.
    if (size >= 64) {
        compress(state_, in, size / 64);
        in += size / 64 * 64;
        size %= 64;
    }
    if (size > 0) {
        std::memcpy(block_, in, size);
        used_ = size;
    }
}

Sha256Digest Sha256::finish() {
    const std::uint64_t bits = total_ * 8;
    std::uint8_t tail[128] = {};
    std::memcpy(tail, block_, used_);
    tail[used_] = 0x80;
    const std::size_t tail_size = used_ + 9 <= 64 ? 64 : 128;
    for (int i = 0; i < 8; ++i) {
        tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    compress(state_, tail, tail_size / 64);
    Sha256Digest digest;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
    return digest;
}

Sha256Digest sha256(const void* data, std::size_t size) {
    Sha256 hasher;
    hasher.update(data, size);
    return hasher.finish();
}

std::string to_hex(const std::uint8_t* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0f];
    }
    return out;
}

std::string sha256_file(const std::string& path) {
    // Windows refuses to open a directory as a file; Linux opens it and fails the first read,
    // which would pass for an empty file. Both platforms answer "cannot be opened".
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return {};
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {};
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, &std::fclose);
    // The stream's own buffer would only add a copy: every read is a whole 1 MiB block.
    std::setvbuf(file, nullptr, _IONBF, 0);
    // Out of memory cannot be told apart from an unreadable file by the caller; both mean
    // "no usable digest", which is the safe reading for a comparison.
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[file_block_size]);
    if (!buffer) {
        return {};
    }
    Sha256 hasher;
    for (;;) {
        const std::size_t got = std::fread(buffer.get(), 1, file_block_size, file);
        if (got > 0) {
            hasher.update(buffer.get(), got);
        }
        if (got < file_block_size) {
            break;  // end of file or a read error: both end the input
        }
    }
    const Sha256Digest digest = hasher.finish();
    return to_hex(digest.data(), digest.size());
}

}  // namespace km::updater
