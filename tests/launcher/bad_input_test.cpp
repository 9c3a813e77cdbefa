// Mutated and oversized input for every reader of text from outside: page commands and both
// configuration files. Seeded and bounded, so it runs in well under a second everywhere; the
// libFuzzer targets under tests/fuzz go further.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "launcher/commands.h"
#include "launcher/config/launcher_config.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

// Cuts the text or inserts a quote, a backslash, a NUL or any other byte, a few times over.
std::string mutate(std::mt19937& rng, std::string text) {
    const char specials[] = "\"\\:{},\n\r[=";
    for (int round = 0; round < 3; ++round) {
        const std::size_t at = rng() % (text.size() + 1), kind = rng() % 3;
        const char byte = kind == 1 ? specials[rng() % sizeof specials] : static_cast<char>(rng());
        text = kind == 0 ? text.substr(0, at) : text.insert(at, 1, byte);
    }
    return text;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(BadInput, PageCommandsNeverCrashAndOpenOnlyLinks) {
    const std::string seeds[] = {
        R"({"cmd":"openURL","url":"https:\/\/127.0.0.1\/news?a=\"b\""})",
        R"({"cmd":"saveSettings","data":{"mode":"full\\screen","vsync":true,"unlockFps":false}})",
        R"({"cmd":"clearBetaCreds"})", R"({"cmd":"dragWindow","x":"\u0041\\"})"};
    std::mt19937 rng(20240611);
    for (int i = 0; i < 800; ++i) {
        const std::string text = mutate(rng, seeds[i % 4]);
        EXPECT_LE(json_get_string(text, "url").size(), text.size());
        handle_page_command(text);
    }
    auto guard = fake::lock();
    for (const auto& target : fake::state().shell_opens)
        EXPECT_TRUE(is_openable_url(target)) << target;
}

TEST_F(BadInput, MegabytesOfHostileText) {
    const std::size_t mb = 1 << 20;
    // Quotes make every position a candidate match for the searches, so those stay smaller.
    for (const std::string& text :
         {"{\"cmd\":\"" + std::string(mb, '\\'),
          std::string(mb / 4, '"') + ":" + std::string(mb, ' '),
          "{\"cmd\":\"saveSettings\",\"data\":{\"mode\":\"" + std::string(mb, 'm') + "\"}}"})
        handle_page_command(text);
    GameSettings s;
    load_game_settings(s);
    EXPECT_EQ(s.mode, std::string(mb, 'm'));
}

TEST_F(BadInput, ConfigurationFilesNeverCrashAndSaveRoundTrips) {
    std::mt19937 rng(7);
    for (int i = 0; i < 25; ++i) {
        const std::string text = mutate(rng,
                                        "\xEF\xBB\xBFhost=127.0.0.1\r\nport=99999999999\r\n"
                                        "title=a=b\r\n[performance]\nlock_mouse = -1\n");
        const auto ini = dir.write("launcher.ini", text).string();
        dir.write("settings.ini", text);
        LauncherConfig config, again;
        load_config(ini, config);
        save_config(ini, config);
        load_config(ini, again);
        EXPECT_EQ(again.host + again.title + std::to_string(again.port),
                  config.host + config.title + std::to_string(config.port));
        GameSettings settings, settings_again;
        load_game_settings(settings);
        save_game_settings(settings);
        load_game_settings(settings_again);
        EXPECT_EQ(settings_again.lock_mouse, settings.lock_mouse);
    }
}

}  // namespace
}  // namespace km
