#include "updater/manifest.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace km::updater {
namespace {

const std::string digest(64, 'a');

struct ParseCase {
    const char* name;
    std::string text;
    bool valid;
    int major = 0, minor = 0, patch = 0;
    std::size_t files = 0;
};

TEST(ParseManifest, ValidityVersionAndFileCount) {
    const std::string ok_entry = R"({"path":"a.dat","sha256":")" + digest + R"("})";
    const std::vector<ParseCase> cases = {
        {"full", R"({"version":{"major":1,"minor":2,"patch":3},"files":[)" + ok_entry + "]}", true,
         1, 2, 3, 1},
        {"empty text", "", false},
        {"not json", "{version", false},
        {"trailing garbage", "{} x", false},
        {"root array", "[1,2,3]", true},
        {"root string", R"("hello")", true},
        {"empty object", "{}", true},
        {"only major", R"({"version":{"major":2}})", true, 2, 0, 0, 0},
        {"version string", R"({"version":"1.2.3"})", false},
        {"version null", R"({"version":null})", false},
        {"version array", R"({"version":[1,2,3]})", false},
        {"major string", R"({"version":{"major":"1"}})", false},
        {"minor null", R"({"version":{"minor":null}})", false},
        {"booleans", R"({"version":{"major":true,"minor":false,"patch":true}})", true, 1, 0, 1},
        {"fractions", R"({"version":{"major":2.9,"minor":-1.7,"patch":0.5}})", true, 2, -1, 0},
        {"negative", R"({"version":{"major":-4}})", true, -4},
        {"wraps to int", R"({"version":{"major":4294967297}})", true, 1},
        {"huge fraction", R"({"version":{"major":1e300}})", true, INT_MIN},
        {"files object", R"({"files":{"a":1}})", true},
        {"files string", R"({"files":"a.dat"})", true},
        {"element not object", R"({"files":[1]})", false},
        {"element null", R"({"files":[null]})", false},
        {"path number", R"({"files":[{"path":1,"sha256":"x"}]})", false},
        {"path null", R"({"files":[{"path":null,"sha256":"x"}]})", false},
        {"sha256 number", R"({"files":[{"path":"a","sha256":5}]})", false},
        {"platform bool", R"({"files":[{"path":"a","sha256":"x","platform":true}]})", false},
        {"size string of digits", R"({"files":[{"path":"a","sha256":"x","size":"12"}]})", false},
        {"size boolean", R"({"files":[{"path":"a","sha256":"x","size":true}]})", false},
        {"executable number", R"({"files":[{"path":"a","sha256":"x","executable":1}]})", false},
        {"empty digest dropped", R"({"files":[{"path":"a.dat","sha256":""}]})", true},
        {"missing path dropped", R"({"files":[{"sha256":"x"}]})", true},
        {"invalid after dropped", R"({"files":[{"path":"a"},{"path":"b","sha256":7}]})", false},
        {"unknown keys", R"({"x":1,"files":[{"path":"a","sha256":"x","extra":[1]}]})", true, 0, 0,
         0, 1},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateManifest m;
        ASSERT_EQ(parse_manifest(c.text, m), c.valid);
        if (!c.valid)
            continue;
        EXPECT_EQ(m.major, c.major);
        EXPECT_EQ(m.minor, c.minor);
        EXPECT_EQ(m.patch, c.patch);
        EXPECT_EQ(m.files.size(), c.files);
    }
}

TEST(ParseManifest, EntryFieldsInDocumentOrder) {
    const std::string text = R"({"version":{"major":1,"minor":0,"patch":7},"files":[
        {"path":"Launcher.exe","sha256":")" +
                             digest + R"(","platform":"windows","size":123456,"executable":true},
        {"path":"data/a.pak","sha256":"ff"},
        {"path":"x","sha256":"1","size":-1},
        {"path":"y","sha256":"2","size":12.99},
        {"path":"z","sha256":"3","size":-2.5},
        {"path":"w","sha256":"4","size":18446744073709551615}
    ]})";
    UpdateManifest m;
    ASSERT_TRUE(parse_manifest(text, m));
    ASSERT_EQ(m.files.size(), 6u);
    EXPECT_EQ(m.files[0].path, "Launcher.exe");
    EXPECT_EQ(m.files[0].sha256, digest);
    EXPECT_EQ(m.files[0].platform, "windows");
    EXPECT_EQ(m.files[0].size, 123456u);
    EXPECT_TRUE(m.files[0].executable);
    EXPECT_EQ(m.files[1].path, "data/a.pak");
    EXPECT_EQ(m.files[1].platform, "");
    EXPECT_EQ(m.files[1].size, 0u);
    EXPECT_FALSE(m.files[1].executable);
    EXPECT_EQ(m.files[2].size, UINT64_MAX);      // -1 wraps
    EXPECT_EQ(m.files[3].size, 12u);             // truncated
    EXPECT_EQ(m.files[4].size, UINT64_MAX - 1);  // -2.5 truncates to -2, then wraps
    EXPECT_EQ(m.files[5].size, UINT64_MAX);
}

TEST(ParseManifest, BodyKeptByteForByteInStrings) {
    UpdateManifest m;
    ASSERT_TRUE(
        parse_manifest("{\"files\":[{\"path\":\"d\\u00e9j\\u00e0/\xc3\xa9.txt\","
                       "\"sha256\":\"AB\"}]}",
                       m));
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, "d\xc3\xa9j\xc3\xa0/\xc3\xa9.txt");
    EXPECT_EQ(m.files[0].sha256, "AB");
}

TEST(IsSafeEntryPath, Table) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Launcher.exe", true},
        {"data/maps/one.pak", true},
        {"web/index.html", true},
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
        {"..\\outside", false},
        {"C:/Windows/x.dll", false},
        {"C:x.dll", false},
        {"file.txt:stream", false},
        {"...", false},
        {"a/.. /b", false},
        {". ", false},
        {std::string("a\0b", 3), false},
    };
    for (const auto& [path, safe] : cases) {
        EXPECT_EQ(is_safe_entry_path(path), safe) << '"' << path << '"';
    }
}

}  // namespace
}  // namespace km::updater
