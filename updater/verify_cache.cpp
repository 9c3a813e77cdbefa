#include "updater/verify_cache.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <utility>

#include "launcher/app_state.h"
#include "platform/platform.h"

namespace km::updater {

namespace fs = std::filesystem;

std::string verify_cache_path() {
    return km::exe_path("launcher_verify_cache.txt");
}

VerifyCache load_verify_cache() {
    VerifyCache cache;
    try {
        std::ifstream in(fs::u8path(verify_cache_path()));
        if (!in)
            return cache;
        std::string line;
        while (std::getline(in, line)) {
            // Text mode on Linux keeps the CR of a file written on Windows.
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::size_t tab1 = line.find('\t');
            if (tab1 == std::string::npos)
                continue;
            const std::size_t tab2 = line.find('\t', tab1 + 1);
            if (tab2 == std::string::npos)
                continue;
            const std::size_t tab3 = line.find('\t', tab2 + 1);
            if (tab3 == std::string::npos)
                continue;
            std::string path = line.substr(0, tab1);
            std::string sha256 = line.substr(tab3 + 1);
            std::uint64_t size = 0;
            std::int64_t mtime = 0;
            try {
                size = std::stoull(line.substr(tab1 + 1, tab2 - tab1 - 1), nullptr, 10);
                mtime = std::stoll(line.substr(tab2 + 1, tab3 - tab2 - 1), nullptr, 10);
            } catch (const std::invalid_argument&) {
                continue;
            } catch (const std::out_of_range&) {
                continue;
            }
            if (path.empty() || sha256.empty())
                continue;
            // As record_verify_cache, without copying the texts once more (20,000 lines for a
            // large installation, read on every check).
            cache.insert_or_assign(std::move(path), VerifyRecord{size, mtime, std::move(sha256)});
        }
    } catch (...) {
        // An unreadable cache only costs hashing; keep what was read.
    }
    return cache;
}

void save_verify_cache(const VerifyCache& cache) {
    try {
        std::ofstream out(fs::u8path(verify_cache_path()));
        if (!out)
            return;
        for (const auto& [path, record] : cache) {
            out << path << '\t' << record.size << '\t' << record.mtime << '\t' << record.sha256
                << '\n';
        }
    } catch (...) {
    }
}

std::string lookup_verify_cache(const VerifyCache& cache, const std::string& path,
                                std::uint64_t size, std::int64_t mtime) {
    const auto it = cache.find(path);
    if (it == cache.end() || it->second.size != size || it->second.mtime != mtime)
        return {};
    return it->second.sha256;
}

void record_verify_cache(VerifyCache& cache, const std::string& path, std::uint64_t size,
                         std::int64_t mtime, const std::string& sha256) {
    cache[path] = VerifyRecord{size, mtime, sha256};
}

FileStat file_stat(const std::string& path) {
    FileStat stat;
    try {
        stat.ok = platform::file_size_and_time(path, stat.size, stat.mtime);
    } catch (...) {
        stat.ok = false;
    }
    return stat;
}

}  // namespace km::updater
