// parse_manifest reads the parser's events without building the document tree. These tests hold
// it to the tree's reading (parse the whole document, then look keys up), written out here as
// the reference, on awkward hand-written documents and on many generated ones: duplicate keys,
// wrong types in every place, nesting where scalars belong and scalars where objects belong.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "updater/manifest.h"

namespace km::updater {
namespace {

using json = nlohmann::json;

struct WrongType {};

int reference_version_number(const json& version, const char* key) {
    if (!version.contains(key))
        return 0;
    const json& value = version.at(key);
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        if (!(d >= double(INT_MIN) && d <= double(INT_MAX)))
            return INT_MIN;
        return static_cast<int>(d);
    }
    if (!value.is_number())
        throw WrongType{};
    return value.get<int>();
}

std::uint64_t reference_size(const json& entry) {
    if (!entry.contains("size"))
        return 0;
    const json& value = entry.at("size");
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        constexpr double two_63 = 9223372036854775808.0;
        if (d >= 0 && d < 2 * two_63)
            return static_cast<std::uint64_t>(d);
        if (d < 0 && d >= -two_63)
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
        return 0;
    }
    if (!value.is_number())
        throw WrongType{};
    return value.get<std::uint64_t>();
}

// The tree reading: the whole document parsed, then keys looked up with defaults.
bool reference_parse(const std::string& text, UpdateManifest& out) {
    try {
        const json root = json::parse(text);
        if (root.is_object() && root.contains("version")) {
            const json& version = root.at("version");
            if (!version.is_object())
                return false;
            out.major = reference_version_number(version, "major");
            out.minor = reference_version_number(version, "minor");
            out.patch = reference_version_number(version, "patch");
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
                entry.size = reference_size(element);
                entry.executable = element.value("executable", false);
                if (entry.path.empty() || entry.sha256.empty())
                    continue;
                out.files.push_back(std::move(entry));
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

// Both readings of one document; on a mismatch the message names the first difference.
void expect_same_reading(const std::string& text) {
    UpdateManifest expected, actual;
    const bool expected_ok = reference_parse(text, expected);
    const bool actual_ok = parse_manifest(text, actual);
    ASSERT_EQ(actual_ok, expected_ok) << text;
    if (!expected_ok)
        return;
    EXPECT_EQ(actual.major, expected.major) << text;
    EXPECT_EQ(actual.minor, expected.minor) << text;
    EXPECT_EQ(actual.patch, expected.patch) << text;
    ASSERT_EQ(actual.files.size(), expected.files.size()) << text;
    for (std::size_t i = 0; i < expected.files.size(); ++i) {
        const ManifestEntry& a = actual.files[i];
        const ManifestEntry& e = expected.files[i];
        EXPECT_EQ(a.path, e.path) << text;
        EXPECT_EQ(a.sha256, e.sha256) << text;
        EXPECT_EQ(a.platform, e.platform) << text;
        EXPECT_EQ(a.size, e.size) << text;
        EXPECT_EQ(a.executable, e.executable) << text;
    }
}

TEST(ManifestReading, DuplicateKeysCountLastAsTheTreeDoes) {
    const std::string d = std::string(64, 'b');
    const std::vector<std::string> documents = {
        // A wrong value hidden by a later right one, and the reverse.
        R"({"version":"x","version":{"major":3}})",
        R"({"version":{"major":3},"version":"x"})",
        R"({"version":{"major":"x","major":4}})",
        R"({"version":{"major":4,"major":"x"}})",
        R"({"version":{"major":{"a":1},"major":5,"minor":[1],"minor":2.5}})",
        R"({"files":[1],"files":[]})",
        R"({"files":[],"files":[1]})",
        R"({"files":[{"path":"a","sha256":")" + d + R"("}],"files":{"x":1}})",
        R"({"files":{"x":1},"files":[{"path":"a","sha256":")" + d + R"("}]})",
        R"({"files":[{"path":1,"path":"a","sha256":")" + d + R"("}]})",
        R"({"files":[{"path":"a","path":1,"sha256":")" + d + R"("}]})",
        R"({"files":[{"path":"a","sha256":")" + d + R"(","size":"1","size":7}]})",
        R"({"files":[{"path":"a","sha256":")" + d + R"(","executable":true,"executable":1}]})",
        R"({"files":[{"path":"a","sha256":")" + d + R"(","path":""}]})",
        // Keys of interest where they do not count: nested, or under other keys.
        R"({"x":{"version":"bad","files":[1]},"files":[{"x":{"path":1},"path":"p","sha256":"s"}]})",
        R"({"version":{"x":{"major":"bad"},"major":1},"y":[{"files":[1]}]})",
        R"({"files":[{"path":"a","sha256":"s","other":{"size":"x","executable":3}}]})",
        R"([{"version":"x"},{"files":[1]}])",
        // Numbers at their limits.
        R"({"version":{"major":-2147483649,"minor":18446744073709551615,"patch":-0.0}})",
        R"({"version":{"major":1e10,"minor":-1e10,"patch":2147483647.9}})",
        R"({"files":[{"path":"a","sha256":"s","size":-1},{"path":"b","sha256":"s","size":1e30},)"
        R"({"path":"c","sha256":"s","size":-9.5},{"path":"d","sha256":"s","size":18446744073709551616}]})",
        // Escapes, null and empty containers in the places of interest.
        R"({"files":[{"path":"a\u00e9\n\"b","sha256":"s\/t","platform":"linux"}]})",
        R"({"files":[{"path":null,"sha256":"s"}]})",
        R"({"files":[{},{"path":"","sha256":""},[]]})",
        R"({"version":{},"files":[]})",
        R"({"version":null})",
        "",
        "{",
        R"({"files":[{"path":"a","sha256":"s"}]} trailing)",
        R"({"files":[{"path":"a","sha256":"s",}]})",
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
        std::string text;
        if (pick(10) == 0)
            value(text, 0, nullptr);
        else
            object(text, 0, root_keys_);
        if (pick(25) == 0)
            text.resize(pick(static_cast<unsigned>(text.size()) + 1));
        return text;
    }

  private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

    void object(std::string& out, int depth, const std::vector<const char*>& keys) {
        out += '{';
        const unsigned members = pick(6);
        for (unsigned m = 0; m < members; ++m) {
            if (m > 0)
                out += ',';
            const char* key = keys[pick(static_cast<unsigned>(keys.size()))];
            out += '"';
            out += key;
            out += "\":";
            value(out, depth + 1, key);
        }
        out += '}';
    }

    void array(std::string& out, int depth, const char* parent_key) {
        out += '[';
        const unsigned elements = pick(5);
        for (unsigned e = 0; e < elements; ++e) {
            if (e > 0)
                out += ',';
            // Elements of "files" are mostly entries, elsewhere anything.
            if (parent_key != nullptr && std::string(parent_key) == "files" && pick(8) != 0)
                object(out, depth + 1, entry_keys_);
            else
                value(out, depth + 1, nullptr);
        }
        out += ']';
    }

    // A value for `key`: mostly of the type the key wants, often not.
    void value(std::string& out, int depth, const char* key) {
        const std::string k = key ? key : "";
        const bool deep = depth > 4;
        unsigned kind = pick(9);
        if (pick(7) != 0) {  // the expected type
            if (k == "version")
                kind = 7;
            else if (k == "files")
                kind = 8;
            else if (k == "major" || k == "minor" || k == "patch" || k == "size")
                kind = 2 + pick(3);
            else if (k == "path" || k == "sha256" || k == "platform")
                kind = 5;
            else if (k == "executable")
                kind = 1;
        }
        if (deep && kind >= 7)
            kind = pick(7);
        switch (kind) {
            case 0:
                out += "null";
                break;
            case 1:
                out += pick(2) ? "true" : "false";
                break;
            case 2:
                out += std::to_string(static_cast<long long>(pick(4000000000u)) - 2000000000);
                break;
            case 3:
                out += numbers_[pick(static_cast<unsigned>(sizeof numbers_ / sizeof *numbers_))];
                break;
            case 4:
                out += std::to_string(pick(100000)) + "." + std::to_string(pick(1000));
                break;
            case 5:
            case 6:
                out += strings_[pick(static_cast<unsigned>(sizeof strings_ / sizeof *strings_))];
                break;
            case 7:
                object(out, depth, k == "version" ? version_keys_ : root_keys_);
                break;
            case 8:
                array(out, depth, key);
                break;
        }
    }

    std::mt19937 rng_;
    const std::vector<const char*> root_keys_ = {"version", "files", "files", "version", "x"};
    const std::vector<const char*> version_keys_ = {"major", "minor", "patch", "files", "y"};
    const std::vector<const char*> entry_keys_ = {"path",       "sha256", "platform", "size",
                                                  "executable", "path",   "sha256",   "z"};
    static constexpr const char* numbers_[] = {"0",    "-0",   "18446744073709551615",
                                               "-1",   "1e19", "9223372036854775808",
                                               "-1e3", "2.5",  "-2147483648"};
    static constexpr const char* strings_[] = {
        R"("")",      R"("a.dat")",
        R"("linux")", R"("data/x\u0041.pak")",
        R"("e\"q")",  R"("12")",
        R"("true")",  R"("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")"};
};

TEST(ManifestReading, GeneratedDocumentsReadAsTheTreeReadsThem) {
    DocumentMaker maker(20240611);
    int valid = 0, invalid = 0, with_files = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string text = maker.document();
        expect_same_reading(text);
        if (::testing::Test::HasFailure())
            return;  // one document is enough to look at
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

}  // namespace
}  // namespace km::updater
