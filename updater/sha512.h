// SHA-512 (FIPS 180-4), the hash inside Ed25519 signature checks, with the message schedule
// computed in AVX2 vectors when the processor has them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace km::updater {

using Sha512Digest = std::array<std::uint8_t, 64>;

// Incremental hasher: update() any number of times, then finish() once.
class Sha512 {
  public:
    Sha512();
    void update(const void* data, std::size_t size);
    Sha512Digest finish();

  private:
    std::uint64_t state_[8];
    std::uint64_t total_ = 0;  // bytes so far
    std::uint8_t block_[128];
    std::size_t used_ = 0;
};

Sha512Digest sha512(const void* data, std::size_t size);

// Whether this process schedules the message in AVX2 vectors (decided once by CPUID).
bool sha512_vector_scheduled();

namespace detail {

// The compression function over whole 128-byte blocks.
void sha512_blocks_portable(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks);
// Only valid after cpu_has_avx2() answered true.
void sha512_blocks_avx2(std::uint64_t state[8], const std::uint8_t* data, std::size_t blocks);
bool cpu_has_avx2();

// Tests compare both paths: while set, every hasher uses the portable compression.
void force_portable_sha512(bool on);

}  // namespace detail

}  // namespace km::updater
