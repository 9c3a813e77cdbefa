// Random and mutated input for every reader of text from outside: page commands and both
// configuration files. Bounded and seeded, so it runs in well under a second everywhere; the
// libFuzzer targets under tests/fuzz go further.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "launcher/app_state.h"
#include "launcher/commands.h"
#include "launcher/config/game_settings.h"
#include "launcher/config/launcher_config.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

const std::vector<std::string> seeds = {
    R"({"cmd":"minimize"})",
    R"({"cmd":"openURL","url":"https:\/\/127.0.0.1\/news?a=\"b\""})",
    R"({"cmd":"saveSettings","data":{"mode":"full\\screen","vsync":true,"unlockFps":false}})",
    R"({"cmd":"clearBetaCreds"})",
    R"({"cmd":"restartNow"})",
    R"({"cmd":"dragWindow","x":"\u0041\\"})",
    R"({"cmd":"launchWithMap","map":"../Arena 01!"})",
    R"({"cmd":"loginBeta","username":"a","password":"\"\\","remember":true})",
};

// Commands that start worker threads: those would outlive the input, so only their readers
// are exercised here.
bool starts_a_worker(const std::string& cmd) {
    for (const char* name : {"ready", "launch", "launchWithMap", "watchSpectator", "loginBeta",
                             "checkUpdates", "repair"}) {
        if (cmd == name)
            return true;
    }
    return false;
}

std::string mutate(std::mt19937& rng, std::string text) {
    const char specials[] = {'"', '\\', ':', '{', '}', ',', '\0', '\n', '\r', 't', '[', '='};
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n)(rng);
    };
    const std::size_t rounds = 1 + pick(4);
    for (std::size_t r = 0; r < rounds; ++r) {
        switch (pick(5)) {
            case 0:
                text.resize(pick(text.size()));
                break;  // truncated
            case 1:
                text += '\\';
                break;  // lone trailing backslash
            case 2:
                if (!text.empty())
                    text[pick(text.size() - 1)] = specials[pick(sizeof specials - 1)];
                break;
            case 3:
                text.insert(pick(text.size()), 1, static_cast<char>(pick(255)));
                break;
            case 4:
                text.insert(pick(text.size()), std::string(1 + pick(8), '\0'));
                break;
            default:
                text = text.substr(pick(text.size())) + text.substr(0, pick(text.size()));
        }
    }
    return text;
}

void check_readers(const std::string& text) {
    for (const char* key : {"cmd", "url", "map", "mode", "data", ""}) {
        // Every output byte consumes at least one input byte.
        EXPECT_LE(json_get_string(text, key).size(), text.size());
        const bool with_true = json_get_bool(text, key, true);
        const bool with_false = json_get_bool(text, key, false);
        // Either a word was read (both agree) or each call fell back to its default.
        EXPECT_TRUE(with_true == with_false || (with_true && !with_false));
    }
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(BadInput, PageCommandsNeverCrashAndOpenOnlyLinks) {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 800; ++i) {
        const std::string text = mutate(rng, seeds[i % seeds.size()]);
        check_readers(text);
        if (starts_a_worker(json_get_string(text, "cmd")))
            continue;
        handle_page_command(text);
    }
    auto guard = fake::lock();
    for (const auto& target : fake::state().shell_opens)
        EXPECT_TRUE(is_openable_url(target));
}

TEST_F(BadInput, MegabytesOfHostileText) {
    const std::size_t mb = 1 << 20;
    // Quotes make every position a candidate match for the searches, so those stay smaller.
    const std::size_t quarter = mb / 4;
    const std::vector<std::string> texts = {
        "{\"cmd\":\"" + std::string(mb, '\\'),
        "{\"cmd\":\"" + std::string(quarter, '"'),
        std::string(mb, '\0'),
        std::string(quarter, '"') + ":" + std::string(mb, ' '),
        "{\"mode\":" + std::string(mb, ' ') + "\"x",
        "{\"cmd\":\"saveSettings\",\"data\":{\"mode\":\"" + std::string(mb, 'm') + "\"}}",
    };
    for (const auto& text : texts) {
        check_readers(text);
        handle_page_command(text);
    }
    GameSettings s;
    load_game_settings(s);
    EXPECT_EQ(s.mode, std::string(mb, 'm'));
}

TEST_F(BadInput, ConfigurationFilesNeverCrashAndSaveRoundTrips) {
    const std::vector<std::string> file_seeds = {
        "# Keldmoor Ashvow Launcher config\r\nhost=127.0.0.1\r\nport=8080\r\ntitle=a=b\r\n",
        "[display]\nmode = windowed\n\n[performance]\nvsync = 1\nunlimited_fps = 0\n",
        "\xEF\xBB\xBF[performance]\r\nlock_mouse = 99999999999999999999\r\n[]\r\n=\r\n",
    };
    std::mt19937 rng(7);
    for (int i = 0; i < 25; ++i) {
        const std::string text = mutate(rng, file_seeds[i % file_seeds.size()]);
        const auto ini = dir.write("launcher.ini", text).string();
        dir.write("settings.ini", text);
        LauncherConfig config;
        load_config(ini, config);
        GameSettings settings;
        load_game_settings(settings);

        // Whatever was read is written back in a form that reads the same.
        save_config(ini, config);
        LauncherConfig again;
        load_config(ini, again);
        EXPECT_EQ(again.host, config.host);
        EXPECT_EQ(again.port, config.port);
        EXPECT_EQ(again.title, config.title);
        EXPECT_EQ(again.game_args, config.game_args);
        save_game_settings(settings);
        GameSettings settings_again;
        load_game_settings(settings_again);
        EXPECT_EQ(settings_again.mode, settings.mode);
        EXPECT_EQ(settings_again.vsync, settings.vsync);
        EXPECT_EQ(settings_again.unlimited_fps, settings.unlimited_fps);
        EXPECT_EQ(settings_again.lock_mouse, settings.lock_mouse);
    }
}

}  // namespace
}  // namespace km
