// The manifest as the document tree reads it (parse the whole document, then look keys up with
// defaults), written out as the reference that parse_manifest, which reads the parser's events
// without building the tree, is held to by the unit tests and the fuzz target.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "updater/manifest.h"

namespace km::test {

using updater::ManifestEntry;
using updater::UpdateManifest;
using json = nlohmann::json;

struct WrongType {};

inline int reference_version_number(const json& version, const char* key) {
    const json& value = version.contains(key) ? version.at(key) : json(0);
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        return d >= double(INT_MIN) && d <= double(INT_MAX) ? static_cast<int>(d) : INT_MIN;
    }
    if (!value.is_number() && !value.is_boolean())
        throw WrongType{};
    return value.get<int>();  // true and false read as 1 and 0
}

inline std::uint64_t reference_size(const json& entry) {
    const json& value = entry.contains("size") ? entry.at("size") : json(0);
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        constexpr double two_63 = 9223372036854775808.0;
        if (d >= 0 && d < 2 * two_63)
            return static_cast<std::uint64_t>(d);
        return d < 0 && d >= -two_63 ? static_cast<std::uint64_t>(static_cast<std::int64_t>(d)) : 0;
    }
    if (!value.is_number())
        throw WrongType{};
    return value.get<std::uint64_t>();
}

// The tree reading: the whole document parsed, then keys looked up with defaults. Every byte is
// signed, so a NUL (where the parser would stop reading) makes the document invalid.
inline bool reference_parse(const std::string& text, UpdateManifest& out) {
    try {
        const json root = json::parse(text);
        if (text.find('\0') != std::string::npos)
            return false;
        if (root.is_object() && root.contains("version")) {
            const json& version = root.at("version");
            if (!version.is_object())
                return false;
            out.major = reference_version_number(version, "major");
            out.minor = reference_version_number(version, "minor");
            out.patch = reference_version_number(version, "patch");
        }
        out.files.clear();
        if (!root.is_object() || !root.contains("files") || !root.at("files").is_array())
            return true;
        for (const json& element : root.at("files")) {
            if (!element.is_object())
                return false;
            ManifestEntry entry{.path = element.value("path", std::string()),
                                .sha256 = element.value("sha256", std::string()),
                                .platform = element.value("platform", std::string()),
                                .size = reference_size(element),
                                .executable = element.value("executable", false)};
            if (!entry.path.empty() && !entry.sha256.empty())
                out.files.push_back(std::move(entry));
        }
        return true;
    } catch (...) {
        return false;
    }
}

// Where parse_manifest and the tree reading differ on `text`: empty when they agree.
inline std::string reading_difference(const std::string& text) {
    UpdateManifest expected, actual;
    const bool expected_ok = reference_parse(text, expected);
    if (updater::parse_manifest(text, actual) != expected_ok)
        return expected_ok ? "refused, the tree reads it" : "read, the tree refuses it";
    if (!expected_ok)
        return "";
    if (std::tie(actual.major, actual.minor, actual.patch) !=
        std::tie(expected.major, expected.minor, expected.patch))
        return "version";
    if (actual.files.size() != expected.files.size())
        return "entry count " + std::to_string(actual.files.size());
    for (std::size_t i = 0; i < expected.files.size(); ++i) {
        const ManifestEntry &a = actual.files[i], &e = expected.files[i];
        if (std::tie(a.path, a.sha256, a.platform, a.size, a.executable) !=
            std::tie(e.path, e.sha256, e.platform, e.size, e.executable))
            return "entry " + std::to_string(i) + ": " + a.path + " " + std::to_string(a.size);
    }
    return "";
}

}  // namespace km::test
