#include "launcher/config/launcher_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

#include "km/build_config.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// What text mode puts on disk for a "\n".
std::string on_disk(std::string text) {
    if (!build::windows_path_rules)
        return text;
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

LauncherConfig load_text(const test::TempDir& dir, const std::string& text) {
    const auto path = dir.write("launcher.ini", text);
    LauncherConfig config;
    load_config(path.string(), config);
    return config;
}

TEST(Trim, RemovesOnlyBlanksTabsAndLineEnds) {
    EXPECT_EQ(trim("  \t a b \r\n"), "a b");
    EXPECT_EQ(trim(" \t\r\n "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\va\f"), "\va\f");
}

TEST(AtoiClamped, ReadsLikeCsAtoiWithoutOverflow) {
    struct Case {
        const char* text;
        int expected;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 0},
        {"8080", 8080},
        {"  8080  ", 8080},
        {"\v\f 12", 12},
        {"+7", 7},
        {"-42x", -42},
        {"12abc34", 12},
        {"- 5", 0},
        {"--5", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"4294967296", INT_MAX},
        {"99999999999999999999999999999", INT_MAX},
        {"-99999999999999999999999999999", INT_MIN},
        {"000000000000000000000000000123", 123},
    };
    for (const auto& c : cases)
        EXPECT_EQ(atoi_clamped(c.text), c.expected) << c.text;
}

TEST(LauncherConfigFile, DefaultsWriteTheCanonicalFile) {
    test::TempDir dir;
    const auto path = (dir.path() / "launcher.ini").string();
    save_config(path, LauncherConfig{});
    EXPECT_EQ(
        dir.read("launcher.ini"),
        on_disk(std::string("# Keldmoor Ashvow Launcher config\nhost=") + build::default_host +
                "\nport=80\nmanifest=/update.manifest.json\nbanners=/banners.json\n"
                "game_exe=Game_x64_win.exe\ngame_args=\ntitle=Keldmoor Ashvow\n"
                "version=1.0.0\n"));
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST(LauncherConfigFile, RoundTripKeepsEveryField) {
    test::TempDir dir;
    const auto path = (dir.path() / "launcher.ini").string();
    LauncherConfig written{"127.0.0.9", -1,        "/m.json", "/b.json",
                           "g.exe",     "-a=1 -b", "T = x",   "2.0"};
    save_config(path, written);
    LauncherConfig read;
    load_config(path, read);
    EXPECT_EQ(read.host, written.host);
    EXPECT_EQ(read.port, -1);
    EXPECT_EQ(read.manifest, written.manifest);
    EXPECT_EQ(read.banners, written.banners);
    EXPECT_EQ(read.game_exe, written.game_exe);
    EXPECT_EQ(read.game_args, written.game_args);
    EXPECT_EQ(read.title, written.title);
    EXPECT_EQ(read.version, written.version);
    EXPECT_NE(dir.read("launcher.ini").find(on_disk("port=-1\n")), std::string::npos);
}

TEST(LauncherConfigFile, HandEditedFilesReadLikeTheLauncherMeansThem) {
    test::TempDir dir;
    LauncherConfig c = load_text(dir,
                                 "# comment\r\n"
                                 "   \r\n"
                                 " #host=127.1.1.1\r\n"
                                 "; other comment\r\n"
                                 "[server]\r\n"
                                 "  host   =   127.0.0.5 \t\r\n"
                                 "host\r\n"
                                 "Host=127.9.9.9\r\n"
                                 "title=a=b\r\n"
                                 "version=1.0 # not a comment\r\n"
                                 "game_args=-x\r\n"
                                 "game_args=\r\n"
                                 "unknown=1\r\n"
                                 "port= 8080 \r\n"
                                 "manifest=/last.json");  // no final line end
    EXPECT_EQ(c.host, "127.0.0.5");
    EXPECT_EQ(c.title, "a=b");
    EXPECT_EQ(c.version, "1.0 # not a comment");
    EXPECT_EQ(c.game_args, "");
    EXPECT_EQ(c.port, 8080);
    EXPECT_EQ(c.manifest, "/last.json");
    EXPECT_EQ(c.banners, "/banners.json");
    EXPECT_EQ(c.game_exe, "Game_x64_win.exe");
}

TEST(LauncherConfigFile, PortValues) {
    test::TempDir dir;
    EXPECT_EQ(load_text(dir, "port=\n").port, 0);
    EXPECT_EQ(load_text(dir, "port=abc\n").port, 0);
    EXPECT_EQ(load_text(dir, "port=  8080  \n").port, 8080);
    EXPECT_EQ(load_text(dir, "port=99999999999\n").port, INT_MAX);
    EXPECT_EQ(load_text(dir, "port=-99999999999\n").port, INT_MIN);
    EXPECT_EQ(load_text(dir, "port=1\nport=2\n").port, 2);
}

TEST(LauncherConfigFile, ByteOrderMarkHidesTheFirstKey) {
    test::TempDir dir;
    LauncherConfig c = load_text(dir, "\xEF\xBB\xBFhost=127.0.0.7\nport=81\n");
    EXPECT_EQ(c.host, build::default_host);
    EXPECT_EQ(c.port, 81);
}

TEST(LauncherConfigFile, MissingFileLeavesTheRecordAlone) {
    test::TempDir dir;
    LauncherConfig c;
    c.title = "kept";
    load_config((dir.path() / "absent.ini").string(), c);
    EXPECT_EQ(c.title, "kept");
}

TEST(LauncherConfigFile, SavingDropsEverythingButTheEightKeys) {
    test::TempDir dir;
    const auto path = dir.write("launcher.ini", "# mine\n[s]\nx=1\n\nhost=127.0.0.3\n").string();
    LauncherConfig c;
    load_config(path, c);
    save_config(path, c);
    const std::string text = dir.read("launcher.ini");
    EXPECT_EQ(text.find("mine"), std::string::npos);
    EXPECT_EQ(text.find("x=1"), std::string::npos);
    EXPECT_NE(text.find(on_disk("host=127.0.0.3\n")), std::string::npos);
}

TEST(LauncherConfigFile, UnwritableTargetChangesNothingOnDisk) {
    test::TempDir dir;
    // A folder where the file should be: it cannot be opened for writing.
    fs::create_directories(dir.path() / "launcher.ini");
    save_config((dir.path() / "launcher.ini").string(), LauncherConfig{});
    EXPECT_TRUE(fs::is_directory(dir.path() / "launcher.ini"));
    EXPECT_FALSE(fs::exists(dir.path() / "launcher.ini.tmp"));

    // A folder that does not exist: nothing is created.
    save_config((dir.path() / "missing" / "launcher.ini").string(), LauncherConfig{});
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST(LauncherConfigFile, FailedReplacementLeavesTheOldFile) {
    test::TempDir dir;
    const auto path = dir.write("launcher.ini", "host=127.0.0.4\n").string();
    // The sibling the new text is written to cannot be created: the old file must survive.
    fs::create_directories(dir.path() / "launcher.ini.tmp" / "blocker");
    EXPECT_FALSE(replace_text_file(path, "host=127.0.0.8\n"));
    EXPECT_EQ(dir.read("launcher.ini"), "host=127.0.0.4\n");
}

}  // namespace
}  // namespace km
