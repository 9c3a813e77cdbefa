// The launcher's own state files damaged (random bytes, cut short, huge, NUL bytes, empty, a
// folder in their place): start-up still loads a configuration, the update check and the events
// that read them still work, and the next writes put sound files back.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "launcher/beta/beta.h"
#include "launcher/commands.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/update_bridge.h"
#include "launcher/config/game_settings.h"
#include "launcher/config/launcher_config.h"
#include "launcher/startup.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/launcher/app_state_scope.h"

namespace km {
namespace {

namespace fs = std::filesystem;

struct Damage {
    const char* name;
    std::function<std::string(const std::string& sound)> make;  // nullptr: a folder
};
const Damage damages[] = {
    {"random_bytes", [](const std::string&) { return test::noise(4096, 4096); }},
    {"cut_short", [](const std::string& s) { return s.substr(0, s.size() / 2); }},
    {"huge",
     [](const std::string& s) {
         return s + test::noise(8 << 20, 8 << 20) + std::string(8 << 20, 'x');
     }},
    {"NUL_bytes",
     [](const std::string& s) {
         std::string out;
         for (char c : s)
             out += std::string{c, '\0'};
         return out;
     }},
    {"empty", [](const std::string&) { return std::string(); }},
    {"folder_in_its_place", nullptr},
};

class CorruptedState : public ::testing::TestWithParam<Damage>, protected test::ServedLauncher {
  protected:
    void damage(const std::string& relative, const std::string& sound) {
        if (GetParam().make)
            install_.write(relative, GetParam().make(sound));
        else
            fs::create_directories(install_.path() / relative / "inside");
    }
};

TEST_P(CorruptedState, StartUpAndWhatReadsThemStillWorkAndTheNextWritesMendThem) {
    const std::vector<test::ReleaseFile> files = {{"a.dat", std::string(5000, 'a')},
                                                  {LauncherConfig{}.game_exe, "game", "", true}};
    test::publish_release(release_.path(), 4, 5, 6, files);
    const LauncherConfig sound_config = launcher_config;  // this test's server, defaults besides
    damage("launcher.ini", config_text(sound_config));
    damage("settings.ini", game_settings_text(GameSettings{.mode = "borderless"}));
    damage("launcher_verify_cache.txt",
           "a.dat\t5000\t1\t" + test::sha256_hex(std::string(5000, 'a')) + "\n");
    damage("cache/beta_creds.json", "{\"u\":\"cGxheWVy\",\"p\":\"c2VjcmV0\"}");
    // Sound, this floor would refuse the release; damaged, it is no floor at all.
    damage("launcher_version_floor.txt", "9.9.9\t/update.manifest.json\n");

    load_launcher_config();
    // Whatever was read, it never names a server off this machine.
    EXPECT_EQ(launcher_config.host.rfind("127.", 0), 0u) << launcher_config.host;
    launcher_config = sound_config;
    // The check puts the release in place whatever the verify cache said.
    EXPECT_TRUE(run_update_check_impl(false));
    for (const auto& file : files)
        EXPECT_EQ(local(file.path), file.content) << file.path;
    fake::reset();
    send_settings();
    send_saved_beta_creds();
    EXPECT_GE(fake::events().size(), 1u);
    EXPECT_LE(fake::events().size(), 2u);
    handle_page_command("{\"cmd\":\"saveSettings\",\"data\":{\"mode\":\"fullscreen\"}}");
    handle_page_command("{\"cmd\":\"clearBetaCreds\"}");
    // What the launcher wrote replaced the damage with sound files (a folder in the way stays).
    if (GetParam().make) {
        GameSettings settings;
        load_game_settings(game_settings_path(), settings);
        EXPECT_EQ(settings.mode, "fullscreen");
        EXPECT_FALSE(exists("cache/beta_creds.json"));
    }
}

INSTANTIATE_TEST_SUITE_P(Damages, CorruptedState, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace km
