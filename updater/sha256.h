// SHA-256 (FIPS 180-4), with the x86 SHA extensions used when the processor has them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace km::updater {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental hasher: update() any number of times, then finish() once.
class Sha256 {
  public:
    Sha256();
    void update(const void* data, std::size_t size);
    Sha256Digest finish();

  private:
    std::uint32_t state_[8];
    std::uint64_t total_ = 0;
    std::uint8_t block_[64];
    std::size_t used_ = 0;
};

Sha256Digest sha256(const void* data, std::size_t size);

// The file's whole content hashed, as 64 lower-case hex digits; empty when it cannot be opened.
std::string sha256_file(const std::string& path);

// Lower-case hex of bytes.
std::string to_hex(const std::uint8_t* data, std::size_t size);

// Whether this process hashes with the SHA extensions (decided once by CPUID).
bool sha256_hardware_accelerated();

namespace detail {

// The compression function over whole 64-byte blocks.
void sha256_blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);
// Only valid after cpu_has_sha_extensions() answered true.
void sha256_blocks_shani(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);
bool cpu_has_sha_extensions();

// Tests compare both paths: while set, every hasher uses the portable compression.
void force_portable_sha256(bool on);

}  // namespace detail

}  // namespace km::updater
