// SHA-512 (FIPS 180-4), the hash inside Ed25519 signature checks.
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

}  // namespace km::updater
