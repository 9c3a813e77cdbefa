// launcher.ini and settings.ini: what is read from hand-edited files and what is written back.
#include "launcher/config/game_settings.h"
#include "launcher/config/launcher_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <utility>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "tests/support/launcher/app_state_scope.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// What text mode puts on disk for a "\n".
std::string on_disk(std::string text) {
    for (std::size_t at = 0; build::windows_path_rules && (at = text.find('\n', at)) != text.npos;
         at += 2)
        text.insert(at, 1, '\r');
    return text;
}

std::string summary(const LauncherConfig& c) {
    return c.host + "|" + std::to_string(c.port) + "|" + c.manifest + "|" + c.banners + "|" +
           c.game_exe + "|" + c.game_args + "|" + c.title + "|" + c.version + "|" +
           std::to_string(c.download_limit) + (c.https ? "|https" : "");
}

std::string summary(const GameSettings& s) {
    return s.mode + "|" + std::to_string(s.vsync) + std::to_string(s.unlimited_fps) +
           std::to_string(s.lock_mouse);
}

class ConfigFiles : public ::testing::Test {
  protected:
    std::string ini() const { return (dir.path() / "launcher.ini").string(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST(NumberText, ReadsLikeCsAtoiWithoutOverflow) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},       {"  8080  ", 8080}, {"\v\f 12", 12},         {"+7", 7},
        {"-42x", -42}, {"--5", 0},         {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}};
    for (const auto& c : cases)
        EXPECT_EQ(atoi_clamped(c.first), c.second) << c.first;
}

TEST_F(ConfigFiles, DefaultsWriteTheExactBytes) {
    save_config(ini(), LauncherConfig{});
    EXPECT_EQ(
        dir.read("launcher.ini"),
        on_disk(std::string("# Keldmoor Ashvow Launcher config\nhost=") + build::default_host +
                "\nport=80\nmanifest=/update.manifest.json\nbanners=/banners.json\n"
                "game_exe=Game_x64_win.exe\ngame_args=\ntitle=Keldmoor Ashvow\n"
                "version=1.0.0\n"));
    save_game_settings(game_settings_path(), GameSettings{});
    EXPECT_EQ(dir.read("settings.ini"),
              on_disk("# Keldmoor Ashvow game settings \xE2\x80\x94 written by launcher, read by "
                      "client.\n\n[display]\nmode = windowed\n\n[performance]\nvsync = 0\n"
                      "unlimited_fps = 1\nlock_mouse = 0\n"));
    EXPECT_FALSE(fs::exists(ini() + ".tmp"));
}

TEST_F(ConfigFiles, RoundTripKeepsEveryFieldAndNoLineBreakInTheMode) {
    const LauncherConfig config{"127.0.0.9", -1,      "/m.json", "/b.json", "g.exe",
                                "-a=1 -b",   "T = x", "2.0",     true,      1000};
    save_config(ini(), config);
    LauncherConfig read;
    load_config(ini(), read);
    EXPECT_EQ(summary(read), summary(config));
    EXPECT_NE(dir.read("launcher.ini").find(on_disk("\nport=-1\nhttps=1\nmanifest=")),
              std::string::npos);
    // A line break in the mode would add lines of its own that the game reads.
    save_game_settings(game_settings_path(),
                       GameSettings{"x\n[performance]\r\nvsync = 1", true, false, false});
    GameSettings read_settings;
    load_game_settings(game_settings_path(), read_settings);
    EXPECT_EQ(summary(read_settings), "x[performance]vsync = 1|100");
}

TEST_F(ConfigFiles, HandEditedFilesReadLikeTheLauncherAndTheGameMeanThem) {
    dir.write("launcher.ini",
              "# comment\r\n   \r\n #host=127.1.1.1\r\n; other\r\n[server]\r\n  host   =   "
              "127.0.0.5 \t\r\nhost\r\nHost=127.9.9.9\r\ntitle=a=b\r\nversion=1.0 # not a "
              "comment\r\ngame_args=-x\r\ngame_args=\r\nunknown=1\r\nport= 8080 \r\nmanifest=/m"
              "\r\ndownload_limit = 25\r\ndownload_limit=1001\r\ndownload_limit=2.5\r\n"
              "download_limit=-1\r\ndownload_limit=\r\nhttps = yes");
    LauncherConfig config;
    load_config((dir.path() / "absent.ini").string(), config);
    load_config(ini(), config);
    EXPECT_EQ(summary(config),
              "127.0.0.5|8080|/m|/banners.json|Game_x64_win.exe||a=b|1.0 # not a comment|25");
    const std::pair<const char*, const char*> cases[] = {
        {"[performance]\r\nvsync = 2\r\nunlimited_fps=0\r\nlock_mouse = -1\r\n", "windowed|101"},
        {"mode = full\n[display]\n", "windowed|010"},
        {"[display]\nmode =\n", "|010"},
        {"[display]\nmode = a\nmode = b=c\n", "b=c|010"},
        {"[display]\n[]\nmode = x\n", "windowed|010"},
        {"  [display]  \n  mode  =  full \t\n;mode = c\n#mode = h\n", "full|010"},
        {"[performance]\nvsync = 1\n[display]\nvsync = 0\n", "windowed|110"},
        {"\xEF\xBB\xBF[display]\nmode = x\n", "windowed|010"}};
    for (const auto& c : cases) {
        dir.write("settings.ini", c.first);
        GameSettings settings;
        load_game_settings(game_settings_path(), settings);
        EXPECT_EQ(summary(settings), c.second) << c.first;
    }
}

TEST_F(ConfigFiles, FailedWritesChangeNothingOnDisk) {
    // A folder where the file should be cannot be opened for writing.
    fs::create_directories(ini());
    save_config(ini(), LauncherConfig{});
    EXPECT_TRUE(fs::is_directory(ini()));
    EXPECT_FALSE(fs::exists(ini() + ".tmp"));
    save_config((dir.path() / "missing" / "launcher.ini").string(), LauncherConfig{});
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
    // The sibling the new text goes to cannot be created: the old file survives.
    const auto path = dir.write("settings.ini", "[display]\nmode = x\n").string();
    fs::create_directories(path + ".tmp/blocker");
    EXPECT_FALSE(replace_text_file(path, "changed\n"));
    EXPECT_EQ(dir.read("settings.ini"), "[display]\nmode = x\n");
}

}  // namespace
}  // namespace km
