// The Ed25519 check on any signature and message, under the built-in key and under a public
// key taken from the input (so that undecodable and small-order keys are reached too).
#include "tests/fuzz/fuzz_support.h"
#include "updater/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 64)
        return 0;
    // Random input never carries a valid signature by the built-in key.
    km::fuzz::require(!km::updater::verify_manifest_signature(data, data + 64, size - 64));
    if (size >= 96)
        km::updater::verify_ed25519(data + 64, data, data + 96, size - 96);
    return 0;
}
