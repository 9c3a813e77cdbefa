// Manifest parsing and entry-path checks. The signature check lives in signature.cpp.
#include <climits>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "updater/manifest.h"

namespace km::updater {

namespace {

using json = nlohmann::json;

struct WrongType {};

// A version number: a JSON number, fractions truncated toward zero, or a boolean (0 or 1).
int version_number(const json& version, const char* key) {
    if (!version.contains(key))
        return 0;
    const json& value = version.at(key);
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        // Out of range the conversion is undefined; give what x86's truncating conversion gives.
        if (!(d >= double(INT_MIN) && d <= double(INT_MAX)))
            return INT_MIN;
        return static_cast<int>(d);
    }
    if (!value.is_number())
        throw WrongType{};
    return value.get<int>();  // integers wrap modulo 2^32
}

// "size": a JSON number; negative integers wrap to unsigned, fractions are truncated.
std::uint64_t size_value(const json& entry) {
    if (!entry.contains("size"))
        return 0;
    const json& value = entry.at("size");
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        constexpr double two_63 = 9223372036854775808.0;
        if (d >= 0 && d < 2 * two_63)
            return static_cast<std::uint64_t>(d);
        if (d < 0 && d >= -two_63) {
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
        }
        return 0;  // beyond any 64-bit value: there is no sensible size
    }
    if (!value.is_number())
        throw WrongType{};
    return value.get<std::uint64_t>();
}

}  // namespace

bool parse_manifest(const std::string& text, UpdateManifest& out) {
    try {
        const json root = json::parse(text);
        if (root.is_object() && root.contains("version")) {
            const json& version = root.at("version");
            if (!version.is_object())
                return false;
            out.major = version_number(version, "major");
            out.minor = version_number(version, "minor");
            out.patch = version_number(version, "patch");
        }
        out.files.clear();
        if (root.is_object() && root.contains("files") && root.at("files").is_array()) {
            for (const json& element : root.at("files")) {
                if (!element.is_object())
                    return false;
                ManifestEntry entry;
                entry.path = element.value("path", std::string());
                entry.sha256 = element.value("sha256", std::string());
                entry.platform = element.value("platform", std::string());
                entry.size = size_value(element);
                entry.executable = element.value("executable", false);
                if (entry.path.empty() || entry.sha256.empty())
                    continue;
                out.files.push_back(std::move(entry));
            }
        }
        return true;
    } catch (...) {
        // Parse errors, type errors and allocation failures all mean: not a usable manifest.
        return false;
    }
}

bool is_safe_entry_path(const std::string& path) {
    if (path.empty())
        return false;
    // Backslashes and colons never appear in release paths; on Windows they would name another
    // folder, a drive ("C:x") or an alternate data stream.
    if (path.find_first_of(std::string("\\:\0", 3)) != std::string::npos)
        return false;
    if (path.front() == '/')
        return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('/', start);
        const std::string part =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Windows drops trailing dots and blanks from a name, so ". " or "..." would act as
        // "." or ".."; no real file name consists of dots and blanks alone.
        if (part.find_first_not_of(". ") == std::string::npos)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

}  // namespace km::updater
