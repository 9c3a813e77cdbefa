// The rules km-publish applies to a release folder, checked directly.
#include <gtest/gtest.h>

#include "tools/manifest_writer.h"
#include "tools/release_tree.h"
#include "tools/tool_common.h"

namespace km::tools {
namespace {

TEST(ReleaseRules, DefaultExcludesCoverOnlyPlayerOwnedFiles) {
    const struct {
        const char* path;
        bool folder;
        bool excluded;
    } cases[] = {
        {"launcher.ini", false, true},
        {"settings.ini", false, true},
        {"launcher_verify_cache.txt", false, true},
        {"cache", true, true},
        {"updates", true, true},
        {"Game_x64_win.exe.update", false, true},
        {"data/maps/a.map.old", false, true},
        {"Launcher.exe.old", false, true},
        // The same names deeper down belong to the game.
        {"data/settings.ini", false, false},
        {"data/cache", true, false},
        {"data/updates", true, false},
        // A file called "cache" is not the launcher's cache folder.
        {"cache", false, false},
        {"old", false, false},
        {"data/x.older", false, false},
        {"Launcher.ini", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_excluded(default_excludes(), c.path, c.folder), c.excluded) << c.path;
    }
}

TEST(ReleaseRules, ExcludeGlobsFollowGitignoreAnchoring) {
    const struct {
        const char* pattern;
        const char* path;
        bool folder;
        bool excluded;
    } cases[] = {
        {"*.pdb", "Game.pdb", false, true},
        {"*.pdb", "bin/x/Game.pdb", false, true},
        {"logs/", "logs", true, true},
        {"logs/", "data/logs", true, true},
        {"logs/", "logs", false, false},
        {"/logs/", "data/logs", true, false},
        {"data/*.tmp", "data/a.tmp", false, true},
        {"data/*.tmp", "data/sub/a.tmp", false, false},
        {"data/*.tmp", "other/data/a.tmp", false, false},
        {"/README.txt", "README.txt", false, true},
        {"/README.txt", "docs/README.txt", false, false},
        {"sav?.dat", "save.dat", false, true},
        {"[ab].txt", "c.txt", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_excluded({c.pattern}, c.path, c.folder), c.excluded)
            << c.pattern << " on " << c.path;
    }
}

TEST(ReleaseRules, WindowsNamesThatCannotExistAreNamed) {
    for (const char* ok : {"Game_x64_win.exe", "data/maps/arena.map", "données/é.txt",
                           "CONSOLE.txt", "web/index.html", "a b/c d.txt", "COM10", "a~b", "LPT"}) {
        EXPECT_EQ(windows_name_problem(ok), "") << ok;
    }
    for (const char* bad :
         {"a<b", "dir/a>b.txt", "what?.txt", "star*.txt", "pipe|x", "quote\".txt", "tab\there",
          "trailing.", "dir./x", "blank /x", "CON", "con.txt", "data/Nul.map", "LPT1.log", "com9",
          "CON .txt", "COM\xC2\xB9", "PROGRA~1/x", "GAME~1.EXE"}) {
        EXPECT_NE(windows_name_problem(bad), "") << bad;
    }
}

TEST(ReleaseRules, VersionIsThreeDecimalNumbersThatFitAnInt) {
    ReleaseVersion v;
    ASSERT_TRUE(parse_release_version("1.20.300", v));
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 20);
    EXPECT_EQ(v.patch, 300);
    ASSERT_TRUE(parse_release_version("0.0.2147483647", v));
    EXPECT_EQ(v.patch, 2147483647);
    for (const char* bad : {"", "1", "1.2", "1.2.3.4", "1.2.x", "-1.2.3", "+1.2.3", " 1.2.3",
                            "1.2.3 ", "1..3", "1.2.2147483648", "v1.2.3", "1.2.3\n"}) {
        EXPECT_FALSE(parse_release_version(bad, v)) << bad;
    }
}

TEST(ReleaseRules, Utf8CheckAndPrintableEscapes) {
    EXPECT_TRUE(is_valid_utf8("plain"));
    EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80"));
    for (const char* bad :
         {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x80"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << printable(bad);
    }
    EXPECT_EQ(printable("bad\xFFname\n\xC3\xA9"), "bad\\xFFname\\x0A\xC3\xA9");
    EXPECT_EQ(printable("a\\b"), "a\\\\b");
}

}  // namespace
}  // namespace km::tools
