// The verify cache reader on any file content.
#include "tests/fuzz/fuzz_support.h"
#include "updater/verify_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    km::fuzz::scratch_dir();
    km::fuzz::write_or_die(km::updater::verify_cache_path(km::exe_dir),
                           km::fuzz::as_text(data, size));
    const km::updater::VerifyCache cache = km::updater::load_verify_cache(km::exe_dir);
    for (const auto& [path, record] : cache) {
        // A record never has an empty path or hash.
        km::fuzz::require(!path.empty() && !record.sha256.empty());
        km::fuzz::require(km::updater::lookup_verify_cache(cache, path, record.size,
                                                           record.mtime) == record.sha256);
    }
    return 0;
}
