// parse_manifest reads the parser's events without building the document tree. These tests hold
// it to the tree's reading (parse the whole document, then look keys up), written out here as
// the reference, on awkward hand-written documents and on many generated ones: duplicate keys,
// wrong types in every place, nesting where scalars belong and scalars where objects belong.
#include "updater/manifest.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace km::updater {
namespace {

using json = nlohmann::json;

struct WrongType {};

int reference_version_number(const json& version, const char* key) {
    const json& value = version.contains(key) ? version.at(key) : json(0);
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        return d >= double(INT_MIN) && d <= double(INT_MAX) ? static_cast<int>(d) : INT_MIN;
    }
    if (!value.is_number())
        throw WrongType{};
    return value.get<int>();
}

std::uint64_t reference_size(const json& entry) {
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
bool reference_parse(const std::string& text, UpdateManifest& out) {
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
            ManifestEntry entry;
            entry.path = element.value("path", std::string());
            entry.sha256 = element.value("sha256", std::string());
            entry.platform = element.value("platform", std::string());
            entry.size = reference_size(element);
            entry.executable = element.value("executable", false);
            if (!entry.path.empty() && !entry.sha256.empty())
                out.files.push_back(std::move(entry));
        }
        return true;
    } catch (...) {
        return false;
    }
}

// Both readings of one document; on a mismatch the message names the document.
void expect_same_reading(const std::string& text) {
    UpdateManifest expected, actual;
    const bool expected_ok = reference_parse(text, expected);
    ASSERT_EQ(parse_manifest(text, actual), expected_ok) << text;
    if (!expected_ok)
        return;
    EXPECT_EQ(std::vector<int>({actual.major, actual.minor, actual.patch}),
              std::vector<int>({expected.major, expected.minor, expected.patch}))
        << text;
    ASSERT_EQ(actual.files.size(), expected.files.size()) << text;
    for (std::size_t i = 0; i < expected.files.size(); ++i) {
        const ManifestEntry &a = actual.files[i], &e = expected.files[i];
        EXPECT_TRUE(a.path == e.path && a.sha256 == e.sha256 && a.platform == e.platform &&
                    a.size == e.size && a.executable == e.executable)
            << text << " entry " << i << ": " << a.path << " " << a.size;
    }
}

TEST(ManifestReading, AwkwardDocumentsReadAsTheTreeReadsThem) {
    const std::string d = std::string(64, 'b');
    const std::string entry = R"({"path":"a","sha256":")" + d + R"("})";
    const std::vector<std::string> documents = {
        R"({"version":{"major":1,"minor":2,"patch":3},"files":[)" + entry + "]}",
        "",
        "{version",
        "{} x",
        "[1,2,3]",
        R"("hello")",
        "{}",
        R"({"version":{"major":true,"minor":false,"patch":true}})",
        R"({"version":{"major":2.9,"minor":-1.7,"patch":0.5}})",
        R"({"version":{"major":4294967297,"minor":1e300,"patch":-4}})",
        R"({"version":{"major":-2147483649,"minor":18446744073709551615,"patch":-0.0}})",
        std::string(
            R"({"files":[{"path":"L.exe","sha256":"x","platform":"windows","size":12,"executable":true},)"
            R"({"path":"a","sha256":"s","size":-1},{"path":"b","sha256":"s","size":1e30},)"
            R"({"path":"c","sha256":"s","size":-2.5},{"path":"d","sha256":"s","size":12.99},)"
            R"({"path":"e","sha256":"s","size":18446744073709551615}]})"),
        "{\"files\":[{\"path\":\"d\\u00e9j\\u00e0/\xc3\xa9\\n\\\"b\",\"sha256\":\"s\\/t\"}]}",
        // Duplicate keys and keys of interest where they do not count (the generator below makes
        // many more).
        R"({"version":"x","version":{"major":3}})",
        R"({"files":[)" + entry + R"(],"files":{"x":1}})",
        R"({"x":{"version":"bad","files":[1]},"files":[{"x":{"path":1},"path":"p","sha256":"s"}]})",
        "{",
        R"({"files":[{"path":"a","sha256":"s",}]})",
        // Bytes after the document, hidden behind a NUL or not.
        std::string(entry).append("\0{\"files\":[]}", 13),
        entry + "{}",
    };
    for (const std::string& text : documents)
        expect_same_reading(text);
}

// A random document built around the manifest's keys: each value is of a random type, keys
// repeat, unknown keys and deep nesting turn up, and now and then the text is cut short.
class DocumentMaker {
  public:
    explicit DocumentMaker(std::uint32_t seed) : rng_(seed) {}

    std::string document() {
        std::string text = pick(10) == 0 ? value("", 0) : object(root_keys_, 0);
        if (pick(25) == 0)
            text.resize(pick(static_cast<unsigned>(text.size()) + 1));
        return text;
    }

  private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
    const char* any(const std::vector<const char*>& list) {
        return list[pick(static_cast<unsigned>(list.size()))];
    }

    std::string object(const std::vector<const char*>& keys, int depth) {
        std::string out = "{";
        for (unsigned m = 0, members = pick(6); m < members; ++m) {
            const std::string key = any(keys);
            out += (m > 0 ? ",\"" : "\"") + key + "\":" + value(key, depth + 1);
        }
        return out + "}";
    }

    // A value for `key`: mostly of the type the key wants, often not.
    std::string value(const std::string& key, int depth) {
        unsigned kind = pick(7);
        if (pick(7) != 0) {
            if (key == "version" || key == "files")
                kind = key == "version" ? 5 : 6;
            else if (key == "major" || key == "minor" || key == "patch" || key == "size")
                kind = 2;
            else if (key == "path" || key == "sha256" || key == "platform")
                kind = 3;
            else if (key == "executable")
                kind = 1;
        }
        if (depth > 4 && kind >= 5)
            kind = pick(5);
        switch (kind) {
            case 0:
                return "null";
            case 1:
                return pick(2) ? "true" : "false";
            case 2:
                if (pick(3) == 0)
                    return std::to_string(pick(100000)) + "." + std::to_string(pick(1000));
                if (pick(2) == 0)
                    return std::to_string(static_cast<long long>(pick(4000000000u)) - 2000000000);
                return any(numbers_);
            case 3:
            case 4:
                return any(strings_);
            case 5:
                return object(key == "version" ? version_keys_ : root_keys_, depth);
        }
        std::string out = "[";
        for (unsigned e = 0, elements = pick(5); e < elements; ++e) {
            // Elements of "files" are mostly entries, elsewhere anything.
            out += e > 0 ? "," : "";
            out += key == "files" && pick(8) != 0 ? object(entry_keys_, depth + 1)
                                                  : value("", depth + 1);
        }
        return out + "]";
    }

    std::mt19937 rng_;
    const std::vector<const char*> root_keys_ = {"version", "files", "files", "version", "x"};
    const std::vector<const char*> version_keys_ = {"major", "minor", "patch", "files", "y"};
    const std::vector<const char*> entry_keys_ = {"path",       "sha256", "platform", "size",
                                                  "executable", "path",   "sha256",   "z"};
    const std::vector<const char*> numbers_ = {"0",    "-0",   "18446744073709551615",
                                               "-1",   "1e19", "9223372036854775808",
                                               "-1e3", "2.5",  "-2147483648"};
    const std::vector<const char*> strings_ = {
        R"("")",      R"("a.dat")",
        R"("linux")", R"("data/x\u0041.pak")",
        R"("e\"q")",  R"("12")",
        R"("true")",  R"("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")"};
};

TEST(ManifestReading, GeneratedDocumentsReadAsTheTreeReadsThem) {
    DocumentMaker maker(20240611);
    int valid = 0, invalid = 0, with_files = 0;
    for (int i = 0; i < 20000 && !::testing::Test::HasFailure(); ++i) {
        const std::string text = maker.document();
        expect_same_reading(text);
        UpdateManifest m;
        const bool ok = parse_manifest(text, m);
        (ok ? valid : invalid) += 1;
        with_files += ok && !m.files.empty();
    }
    // The generator must reach all three outcomes often, or the comparison proves little.
    EXPECT_GT(valid, 2000);
    EXPECT_GT(invalid, 2000);
    EXPECT_GT(with_files, 500) << valid << " valid, " << invalid << " invalid";
}

TEST(IsSafeEntryPath, Table) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Launcher.exe", true},
        {"data/maps/one.pak", true},
        {".hidden", true},
        {"a..b/c", true},
        {"d\xc3\xa9j\xc3\xa0.txt", true},
        {"", false},
        {"/etc/passwd", false},
        {"//server/share/x", false},
        {"../outside", false},
        {"a/../../outside", false},
        {"a/..", false},
        {"./a", false},
        {"a/./b", false},
        {"a//b", false},
        {"a/", false},
        {"a\\b", false},
        {"C:/Windows/x.dll", false},
        {"C:x.dll", false},
        {"file.txt:stream", false},
        {"...", false},
        {"a/.. /b", false},
        {". ", false},
        {std::string("a\0b", 3), false},
    };
    for (const auto& [path, safe] : cases)
        EXPECT_EQ(is_safe_entry_path(path), safe) << '"' << path << '"';
}

}  // namespace
}  // namespace km::updater
