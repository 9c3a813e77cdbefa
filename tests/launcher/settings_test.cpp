#include "launcher/config/game_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "km/build_config.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

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

class GameSettingsFile : public ::testing::Test {
  protected:
    GameSettings load(const std::string& text) {
        dir.write("settings.ini", text);
        GameSettings s;
        load_game_settings(s);
        return s;
    }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(GameSettingsFile, DefaultsWriteTheExactBytes) {
    save_game_settings(GameSettings{});
    EXPECT_EQ(dir.read("settings.ini"),
              on_disk("# Keldmoor Ashvow game settings \xE2\x80\x94 written by launcher, read by "
                      "client.\n\n[display]\nmode = windowed\n\n[performance]\nvsync = 0\n"
                      "unlimited_fps = 1\nlock_mouse = 0\n"));
}

TEST_F(GameSettingsFile, RoundTrip) {
    const GameSettings written{"borderless fullscreen", true, false, true};
    save_game_settings(written);
    GameSettings read;
    load_game_settings(read);
    EXPECT_EQ(read.mode, written.mode);
    EXPECT_EQ(read.vsync, true);
    EXPECT_EQ(read.unlimited_fps, false);
    EXPECT_EQ(read.lock_mouse, true);
}

TEST_F(GameSettingsFile, MissingFileKeepsTheDefaults) {
    GameSettings s;
    load_game_settings(s);
    EXPECT_EQ(s.mode, "windowed");
    EXPECT_FALSE(s.vsync);
    EXPECT_TRUE(s.unlimited_fps);
    EXPECT_FALSE(s.lock_mouse);
}

TEST_F(GameSettingsFile, HandEditedFiles) {
    struct Case {
        const char* text;
        GameSettings expected;
    };
    const Case cases[] = {
        {"[performance]\nvsync = true\n", {"windowed", false, true, false}},
        {"[performance]\r\nvsync = 2\r\nunlimited_fps=0\r\nlock_mouse = -1\r\n",
         {"windowed", true, false, true}},
        {"[Display]\nmode = full\n", {"windowed", false, true, false}},
        {"[ display]\nmode = full\n", {"windowed", false, true, false}},
        {"mode = full\n[display]\n", {"windowed", false, true, false}},
        {"[display]\nmode =\n", {"", false, true, false}},
        {"[display]\nmode = a\nmode = b=c\n", {"b=c", false, true, false}},
        {"[display\nmode = x\n", {"windowed", false, true, false}},  // not a section: skipped
        {"[display]\n[]\nmode = x\n", {"windowed", false, true, false}},
        {"  [display]  \n ; note\n# note\n\n  mode  =  full \t\n", {"full", false, true, false}},
        {"[performance]\nvsync = 1\n[display]\nvsync = 0\n", {"windowed", true, true, false}},
        {"[performance]\nvsync = 99999999999999999999\n", {"windowed", true, true, false}},
        {"\xEF\xBB\xBF[display]\nmode = x\n", {"windowed", false, true, false}},
        {"[display]\nmode = x", {"x", false, true, false}},  // no final line end
    };
    for (const auto& c : cases) {
        const GameSettings s = load(c.text);
        EXPECT_EQ(s.mode, c.expected.mode) << c.text;
        EXPECT_EQ(s.vsync, c.expected.vsync) << c.text;
        EXPECT_EQ(s.unlimited_fps, c.expected.unlimited_fps) << c.text;
        EXPECT_EQ(s.lock_mouse, c.expected.lock_mouse) << c.text;
    }
}

TEST_F(GameSettingsFile, SavingDropsHandEditedExtras) {
    GameSettings s = load("# mine\n[display]\nmode = x\nextra = 1\n[other]\nk = v\n");
    save_game_settings(s);
    const std::string text = dir.read("settings.ini");
    EXPECT_EQ(text.find("mine"), std::string::npos);
    EXPECT_EQ(text.find("extra"), std::string::npos);
    EXPECT_EQ(text.find("[other]"), std::string::npos);
    EXPECT_NE(text.find(on_disk("mode = x\n")), std::string::npos);
}

TEST_F(GameSettingsFile, LineBreaksInTheModeCannotAddLines) {
    save_game_settings(GameSettings{"x\n[performance]\r\nvsync = 1", false, true, false});
    GameSettings read;
    load_game_settings(read);
    EXPECT_EQ(read.mode, "x[performance]vsync = 1");
    EXPECT_FALSE(read.vsync);
}

TEST_F(GameSettingsFile, UnwritableFileChangesNothing) {
    std::filesystem::create_directories(dir.path() / "settings.ini");
    save_game_settings(GameSettings{});
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "settings.ini"));
}

}  // namespace
}  // namespace km
