// Remembered size, last-write time and SHA-256 of installed files, so unchanged files are not
// hashed again on every check.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace km::updater {

struct VerifyRecord {
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    std::string sha256;
};

// Keyed by the manifest path. A hash map: a check of a large installation looks every file up
// once in the old cache and records it once in the new one.
using VerifyCache = std::unordered_map<std::string, VerifyRecord>;

// The cache of the installation at `root`: launcher_verify_cache.txt directly in it.
std::string verify_cache_path(const std::string& root);
VerifyCache load_verify_cache(const std::string& root);
void save_verify_cache(const std::string& root, const VerifyCache& cache);
std::string lookup_verify_cache(const VerifyCache& cache, const std::string& path,
                                std::uint64_t size, std::int64_t mtime);
void record_verify_cache(VerifyCache& cache, const std::string& path, std::uint64_t size,
                         std::int64_t mtime, const std::string& sha256);

struct FileStat {
    bool ok = false;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
};
FileStat file_stat(const std::string& path);

}  // namespace km::updater
