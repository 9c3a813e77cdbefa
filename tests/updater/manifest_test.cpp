// parse_manifest reads the parser's events without building the document tree. These tests hold
// it to the tree's reading (tests/support/manifest_reference.h) on awkward hand-written documents
// and on the fuzzing corpus (which holds the smallest, "{}" and "{"): duplicate keys, wrong types
// in every place, nesting where scalars belong and scalars where objects belong. Booleans,
// fractions and every kind of "size" number are left to the corpus, whose documents reach each
// conversion; the version numbers past the range of an int are not in it.
#include "updater/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/manifest_reference.h"
#include "tests/support/temp_dir.h"
#include "updater/case_fold.h"

namespace km::updater {
namespace {

using namespace std::string_literals;

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
        R"({"version":{"major":4294967297,"minor":1e300,"patch":-4}})",
        R"({"version":{"major":-2147483649,"minor":18446744073709551615,"patch":-0.0}})",
        "{\"files\":[{\"path\":\"d\\u00e9j\\u00e0/\xc3\xa9\\n\\\"b\",\"sha256\":\"s\\/t\"}]}",
        // Duplicate keys and keys of interest where they do not count (the corpus test below
        // replays many more).
        R"({"version":"x","version":{"major":3}})",
        R"({"files":[)" + entry + R"(],"files":{"x":1}})",
        R"({"x":{"version":"bad","files":[1]},"files":[{"x":{"path":1},"path":"p","sha256":"s"}]})",
        R"({"files":[{"path":"a","sha256":"s",}]})",
        // Bytes after the document, hidden behind a NUL or not.
        std::string(entry).append("\0{\"files\":[]}", 13),
        entry + "{}",
    };
    for (const std::string& text : documents)
        EXPECT_EQ(test::reading_difference(text), "") << text;
}

// The fuzzing corpus of the manifest reader: documents built around the manifest's keys with
// values of every type, repeated keys, unknown keys, deep nesting and texts cut short, kept where
// they reach code no other document reaches.
TEST(ManifestReading, CorpusDocumentsReadAsTheTreeReadsThem) {
    const std::filesystem::path corpus = KM_FUZZ_CORPUS "/manifest";
    int documents = 0, valid = 0;
    for (const auto& file : std::filesystem::directory_iterator(corpus)) {
        const std::string text = test::read_file(file.path());
        EXPECT_EQ(test::reading_difference(text), "") << text;
        UpdateManifest m;
        documents += 1;
        valid += parse_manifest(text, m) && !m.files.empty();
    }
    // The corpus must reach both outcomes often, or the comparison proves little.
    EXPECT_GT(documents, 300);
    EXPECT_GT(valid, 50) << documents << " documents";
}

TEST(IsSafeEntryPath, Table) {
    for (const std::string path :
         {"Launcher.exe", "data/maps/one.pak", ".hidden", "a..b/c", "d\xc3\xa9j\xc3\xa0.txt"})
        EXPECT_TRUE(is_safe_entry_path(path)) << '"' << path << '"';
    for (const std::string& path :
         {""s, "/etc/passwd"s, "//server/share/x"s, "../outside"s, "a/../../outside"s, "a/.."s,
          "./a"s, "a/./b"s, "a//b"s, "a/"s, "a\\b"s, "C:/Windows/x.dll"s, "C:x.dll"s,
          "file.txt:stream"s, "..."s, "a/.. /b"s, ". "s, "a\0b"s})
        EXPECT_FALSE(is_safe_entry_path(path)) << '"' << path << '"';
}

// NTFS compares names through its upcase table (the simple uppercase mapping), so names that
// agree after it are one file there, and a release holding both never settles.
TEST(EntryPaths, NamesThatNtfsTakesForOneFileAreRefused) {
    const struct {
        std::string a, b;
        bool one_file;
    } cases[] = {
        {"data/\xCE\xB1.txt", "data/\xCE\x91.txt", true},  // α Α
        {"\xD0\xB6/x", "\xD0\x96/x", true},                // ж Ж
        {"\xC3\xBF", "\xC5\xB8", true},                    // ÿ Ÿ, leaving Latin-1
        {"\xC5\xBF", "s", true},                           // ſ folds onto S
        {"\xC2\xB5", "\xCE\xBC", true},                    // micro sign and μ: both Μ
        {"\xC7\x86", "\xC7\x85", true},                    // ǆ and its title case ǅ
        {"\xE1\xB8\x81", "\xE1\xB8\x80", true},            // ḁ Ḁ, three bytes
        {"x\xED\xA0\x80y", "X\xED\xA0\x80Y", true},        // a surrogate kept, x folded
        {"\xE2\x84\xAA", "k", false},                      // Kelvin sign: its own capital
        {"\xC3\x9F", "\xE1\xBA\x9E", false},               // ß has no simple capital
        {"\xC1\xA1", "a", false},                          // overlong "a" is not "a"
        {"\xC3", "\xC3\x83", false},                       // a cut-off sequence stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        EXPECT_EQ(case_folded(c.a) == case_folded(c.b), c.one_file);
        EXPECT_EQ(entry_paths_problem({c.a, c.b}).find("differs only in letter case") !=
                      std::string::npos,
                  c.one_file);
    }
    EXPECT_EQ(case_folded("\xC1\xA1\xFF\xC3"), "\xC1\xA1\xFF\xC3");
}

}  // namespace
}  // namespace km::updater
