#include "updater/verify_cache.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>

#include "km/build_config.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace km::updater {

namespace fs = std::filesystem;

std::string verify_cache_path(const std::string& root) {
    return root + build::path_separator + "launcher_verify_cache.txt";
}

namespace {

// stoull/stoll of the field [begin, end) of a NUL-terminated text: leading blanks skipped,
// trailing characters ignored, no digits or a value out of range refused. The C conversions
// would skip a TAB too and read on into the next field, so their end must stay in the field.
template <typename Number, typename Convert>
bool field_number(const char* begin, const char* end, Convert convert, Number& value) {
    char* stop = nullptr;
    errno = 0;
    value = convert(begin, &stop, 10);
    return stop != begin && stop <= end && errno != ERANGE;
}

}  // namespace

// One read of the whole file and one pass over it: a large installation has 20,000 lines, read
// on every check.
VerifyCache load_verify_cache(const std::string& root) {
    VerifyCache cache;
    try {
        // Records read through a link would vouch for whatever its far end says.
        const std::string path = verify_cache_path(root);
        if (link_on_the_way(root, path))
            return cache;
        std::ifstream in(fs::u8path(path));
        if (!in)
            return cache;
        std::string text;
        char block[65536];
        while (in.read(block, sizeof block) || in.gcount() > 0)
            text.append(block, static_cast<std::size_t>(in.gcount()));
        const char* const data = text.c_str();
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            std::string_view line(data + at, end - at);
            const char* const line_start = data + at;
            at = end + 1;
            // Text mode on Linux keeps the CR of a file written on Windows.
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            const std::size_t tab1 = line.find('\t');
            if (tab1 == std::string_view::npos)
                continue;
            const std::size_t tab2 = line.find('\t', tab1 + 1);
            if (tab2 == std::string_view::npos)
                continue;
            const std::size_t tab3 = line.find('\t', tab2 + 1);
            if (tab3 == std::string_view::npos)
                continue;
            // A NUL inside a field ends its number, as it ends the C text stoull reads.
            std::uint64_t size = 0;
            std::int64_t mtime = 0;
            if (!field_number(line_start + tab1 + 1, line_start + tab2, &std::strtoull, size) ||
                !field_number(line_start + tab2 + 1, line_start + tab3, &std::strtoll, mtime))
                continue;
            const std::string_view path = line.substr(0, tab1);
            const std::string_view sha256 = line.substr(tab3 + 1);
            if (path.empty() || sha256.empty())
                continue;
            cache.insert_or_assign(std::string(path),
                                   VerifyRecord{size, mtime, std::string(sha256)});
        }
    } catch (...) {
        // An unreadable cache only costs hashing; keep what was read.
    }
    return cache;
}

// Built in memory and written with one call: the stream's inserters cost more than the disk.
void save_verify_cache(const std::string& root, const VerifyCache& cache) {
    try {
        const std::string path = verify_cache_path(root);
        // The cache is the launcher's own file: a link in its place goes, never what it leads to.
        if (link_on_the_way(root, path) && !platform::remove_link(path))
            return;
        std::ofstream out(fs::u8path(path));
        if (!out)
            return;
        std::string text;
        text.reserve(cache.size() * 112);
        char digits[24];
        for (const auto& [path, record] : cache) {
            text += path;
            text += '\t';
            text.append(digits, std::to_chars(digits, digits + sizeof digits, record.size).ptr);
            text += '\t';
            text.append(digits, std::to_chars(digits, digits + sizeof digits, record.mtime).ptr);
            text += '\t';
            text += record.sha256;
            text += '\n';
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
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
