#include "tools/manifest_writer.h"

#include <climits>
#include <nlohmann/json.hpp>

namespace km::tools {

bool parse_release_version(const std::string& text, ReleaseVersion& out) {
    int* const fields[] = {&out.major, &out.minor, &out.patch};
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
        long long value = 0;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            value = value * 10 + (text[pos] - '0');
            if (value > INT_MAX) {
                return false;
            }
            ++pos;
        }
        if (pos == start) {
            return false;
        }
        *fields[i] = static_cast<int>(value);
    }
    return pos == text.size();
}

std::string build_manifest(const ReleaseVersion& version, const std::vector<ReleaseFile>& files,
                           const std::string& platform) {
    // Every launcher hashes the whole document for the signature check and then parses it, on
    // every check: indentation would add about two thirds to the bytes of a large release. One
    // compact line per entry keeps the file readable and diffable without that cost.
    nlohmann::ordered_json head;
    head["major"] = version.major;
    head["minor"] = version.minor;
    head["patch"] = version.patch;
    std::string text = "{\"version\":" + head.dump() + ",\"files\":[";
    bool first = true;
    for (const ReleaseFile& file : files) {
        nlohmann::ordered_json entry;
        entry["path"] = file.path;
        entry["sha256"] = file.sha256;
        entry["platform"] = platform;
        entry["size"] = file.size;
        entry["executable"] = file.executable;
        text += first ? "\n" : ",\n";
        text += entry.dump();
        first = false;
    }
    text += files.empty() ? "]}\n" : "\n]}\n";
    return text;
}

}  // namespace km::tools
