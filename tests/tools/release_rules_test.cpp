// The rules km-publish applies to a release folder, checked directly.
#include <gtest/gtest.h>

#include "tools/manifest_writer.h"
#include "tools/release_tree.h"
#include "tools/tool_common.h"

namespace km::tools {
namespace {

// "pattern path" ("-" for the default excludes); a path ending in '/' is a folder.
bool excluded(const std::string& rule) {
    const std::string pattern = rule.substr(0, rule.find(' '));
    std::string path = rule.substr(rule.find(' ') + 1);
    const bool folder = path.back() == '/';
    if (folder)
        path.pop_back();
    return is_excluded(pattern == "-" ? default_excludes() : std::vector<std::string>{pattern},
                       path, folder);
}

TEST(ReleaseRules, ExcludesCoverOnlyPlayerOwnedFilesAndFollowGitignoreAnchoring) {
    for (const char* rule :
         {"- launcher.ini", "- settings.ini", "- launcher_verify_cache.txt", "- launcher.lock",
          "- cache/", "- updates/", "- Game_x64_win.exe.update", "- data/maps/a.map.old",
          "*.pdb bin/x/G.pdb", "logs/ data/logs/", "data/*.tmp data/a.tmp",
          "/README.txt README.txt", "sav?.dat save.dat"}) {
        EXPECT_TRUE(excluded(rule)) << rule;
    }
    // The same names deeper down, or a file called "cache", belong to the game.
    for (const char* rule :
         {"- data/settings.ini", "- data/cache/", "- data/updates/", "- cache", "- data/x.older",
          "- Launcher.ini", "logs/ logs", "/logs/ data/logs/", "data/*.tmp data/sub/a.tmp",
          "data/*.tmp x/data/a.tmp", "/README.txt doc/README.txt", "[ab].txt c.txt"}) {
        EXPECT_FALSE(excluded(rule)) << rule;
    }
}

TEST(ReleaseRules, WindowsNamesThatCannotExistAreNamed) {
    for (const char* ok : {"Game_x64_win.exe", "données/é.txt", "CONSOLE.txt", "a b/c d.txt",
                           "COM10", "a~b", "LPT", "CONIN", "CONOUT$X.txt", "COM0x"}) {
        EXPECT_EQ(windows_name_problem(ok), "") << ok;
    }
    for (const char* bad :
         {"a<b",         "dir/a>b.txt",     "what?.txt",    "star*.txt",  "pipe|x",
          "quote\".txt", "tab\there",       "trailing.",    "dir./x",     "blank /x",
          "CON",         "con.txt",         "data/Nul.map", "LPT1.log",   "com9",
          "CON .txt",    "COM\xC2\xB9",     "PROGRA~1/x",   "GAME~1.EXE", "CONIN$",
          "conout$.log", "data/Conin$.txt", "COM0",         "lpt0.dat",   "com\xC2\xB2.x",
          "Lpt\xC2\xB3"}) {
        EXPECT_NE(windows_name_problem(bad), "") << bad;
    }
}

TEST(ReleaseRules, VersionIsThreeDecimalNumbersThatFitAnIntAndNamesAreUtf8) {
    ReleaseVersion v;
    ASSERT_TRUE(parse_release_version("1.20.2147483647", v));
    EXPECT_EQ(std::vector<long>({v.major, v.minor, v.patch}),
              std::vector<long>({1, 20, 2147483647}));
    for (const char* bad : {"", "1", "1.2", "1.2.3.4", "1.2.x", "-1.2.3", "+1.2.3", " 1.2.3",
                            "1.2.3 ", "1..3", "1.2.2147483648", "v1.2.3", "1.2.3\n"}) {
        EXPECT_FALSE(parse_release_version(bad, v)) << bad;
    }
    EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80"));
    for (const char* bad :
         {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x80"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << printable(bad);
    }
    EXPECT_EQ(printable("bad\xFFname\n\xC3\xA9\\"), "bad\\xFFname\\x0A\xC3\xA9\\\\");
}

}  // namespace
}  // namespace km::tools
