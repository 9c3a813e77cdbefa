// The launcher's own state files damaged (random bytes, cut short, huge, NUL bytes, empty, a
// folder in their place): start-up still loads a configuration and every page command still
// does its job, and the next writes put sound files back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "launcher/app_state.h"
#include "launcher/commands.h"
#include "launcher/config/game_settings.h"
#include "launcher/config/launcher_config.h"
#include "launcher/events.h"
#include "launcher/startup.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "updater/update_check.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(gen());
    return out;
}

struct Damage {
    const char* name;
    std::function<std::string(const std::string& sound, unsigned seed)> make;  // "" + folder
    bool folder = false;
};

const std::vector<Damage>& damages() {
    static const std::vector<Damage> list = {
        {"random bytes", [](const std::string&, unsigned seed) { return noise(4096, seed); }},
        {"cut short", [](const std::string& s, unsigned) { return s.substr(0, s.size() / 2); }},
        {"huge",
         [](const std::string& s, unsigned seed) {
             return s + noise(8 << 20, seed) + std::string(8 << 20, 'x');
         }},
        {"NUL bytes",
         [](const std::string& s, unsigned) {
             std::string out;
             for (char c : s) {
                 out += c;
                 out += '\0';
             }
             return out;
         }},
        {"empty", [](const std::string&, unsigned) { return std::string(); }},
        {"folder in its place", [](const std::string&, unsigned) { return std::string(); }, true},
    };
    return list;
}

std::size_t count_prefix(const std::vector<std::string>& events, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
}

class CorruptedState : public ::testing::TestWithParam<std::size_t> {
  protected:
    void SetUp() override {
        fake::reset();
        // The realm poller lives as long as the process; the burst test covers it.
        realm_poll_started.store(true);
        files_ = {{"a.dat", std::string(5000, 'a')},
                  {"web/index.html", "<p>page</p>"},
                  {LauncherConfig{}.game_exe, "game client", "", true}};
        test::publish_release(release_.path(), 4, 5, 6, files_);
        test::publish_banners(release_.path(), {"top.png"});
        server_.serve_file_tree(release_.path());
    }
    void TearDown() override {
        while (updater::update_in_progress.load())
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(300ms);  // the last detached workers finish their events
    }

    void damage(const std::string& relative, const std::string& sound, unsigned seed) {
        const Damage& d = damages()[GetParam()];
        const fs::path path = install_.path() / relative;
        fs::create_directories(path.parent_path());
        if (d.folder) {
            fs::create_directories(path / "inside");
            return;
        }
        test::write_file(path, d.make(sound, seed));
    }

    // Runs one command and waits until `done` holds for the recorded state.
    void command(const std::string& message, const std::function<bool(const fake::State&)>& done) {
        SCOPED_TRACE(message);
        // A check ends its events just before it lets go of the flag; a command sent in between
        // would be ignored, as a second click is while a check runs.
        while (updater::update_in_progress.load())
            std::this_thread::sleep_for(1ms);
        handle_page_command(message);
        EXPECT_TRUE(fake::wait_for(done, 20000));
    }

    test::TempDir release_, install_;
    test::TestServer server_;
    std::vector<test::ReleaseFile> files_;
};

TEST_P(CorruptedState, StartUpAndEveryCommandStillWork) {
    LauncherConfig sound_config;
    sound_config.host = "127.0.0.1";
    sound_config.port = server_.port();
    damage("launcher.ini", config_text(sound_config), 1);
    GameSettings sound_settings;
    sound_settings.mode = "borderless";
    damage("settings.ini", game_settings_text(sound_settings), 2);
    damage("launcher_verify_cache.txt",
           "a.dat\t5000\t1\t" + test::sha256_hex(std::string(5000, 'a')) + "\n", 3);
    damage("cache/beta_creds.json", "{\"u\":\"cGxheWVy\",\"p\":\"c2VjcmV0\"}", 4);

    test::ScopedExeDir scope(install_.str());
    load_launcher_config();
    // Whatever was read, it never names a server off this machine.
    EXPECT_EQ(launcher_config.host.rfind("127.", 0), 0u) << launcher_config.host;
    // The commands below run against the release server, whatever the damaged file held.
    launcher_config = sound_config;

    auto updating_false = [](std::size_t n) {
        return [n](const fake::State& s) {
            return static_cast<std::size_t>(std::count(s.events.begin(), s.events.end(),
                                                       event_text::updating(false))) >= n;
        };
    };
    command("{\"cmd\":\"ready\"}", [&](const fake::State& s) {
        return updating_false(1)(s) && count_prefix(s.events, "{\"event\":\"banners\"") == 1;
    });
    {
        const auto events = fake::events();
        EXPECT_EQ(count_prefix(events, "{\"event\":\"version\""), 2u);
        EXPECT_EQ(count_prefix(events, "{\"event\":\"settings\""), 1u);
        EXPECT_LE(count_prefix(events, "{\"event\":\"betaSavedCreds\""), 1u);
    }
    // The probe's check put the release in place whatever the verify cache said.
    for (const auto& file : files_)
        EXPECT_EQ(install_.read(file.path), file.content) << file.path;

    command("{\"cmd\":\"checkUpdates\"}", updating_false(2));
    command("{\"cmd\":\"repair\"}", updating_false(3));
    command("{\"cmd\":\"launch\",\"betaMode\":false}",
            [](const fake::State& s) { return s.games.size() == 1; });
    command("{\"cmd\":\"launchWithMap\",\"map\":\"arena_01\"}",
            [](const fake::State& s) { return s.games.size() == 2; });
    command("{\"cmd\":\"watchSpectator\",\"map\":\"x\"}",
            [](const fake::State& s) { return s.games.size() == 3; });
    command("{\"cmd\":\"loginBeta\",\"username\":\"u\",\"password\":\"p\"}",
            [](const fake::State& s) {
                return count_prefix(s.events, "{\"event\":\"betaLoginResult\"") == 1;
            });
    command("{\"cmd\":\"saveSettings\",\"data\":{\"mode\":\"fullscreen\",\"vsync\":true}}",
            [](const fake::State&) { return true; });
    command("{\"cmd\":\"openURL\",\"url\":\"https://example.invalid/news\"}",
            [](const fake::State& s) { return s.shell_opens.size() == 1; });
    command("{\"cmd\":\"clearBetaCreds\"}", [](const fake::State&) { return true; });
    command("{\"cmd\":\"minimize\"}", [](const fake::State& s) { return s.minimize_count == 1; });
    command("{\"cmd\":\"dragWindow\"}", [](const fake::State& s) { return s.drag_count == 1; });
    command("{\"cmd\":\"restartNow\"}",
            [](const fake::State& s) { return s.detached.size() == 1 && s.quit_count == 1; });
    command("{\"cmd\":\"close\"}", [](const fake::State& s) { return s.quit_count == 2; });

    const auto games = [] {
        auto lock = fake::lock();
        return fake::state().games;
    }();
    ASSERT_EQ(games.size(), 3u);
    EXPECT_EQ(games[1].parameters, "--enter-map=arena_01");
    EXPECT_EQ(games[2].parameters, "--spectate-map=x");

    // What the launcher wrote replaced the damage with sound files (a folder in the way stays).
    if (!damages()[GetParam()].folder) {
        GameSettings settings;
        load_game_settings(settings);
        EXPECT_EQ(settings.mode, "fullscreen");
        EXPECT_TRUE(settings.vsync);
        EXPECT_FALSE(fs::exists(install_.path() / "cache" / "beta_creds.json"));
    }
}

INSTANTIATE_TEST_SUITE_P(Damages, CorruptedState,
                         ::testing::Range<std::size_t>(0, damages().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             std::string name = damages()[info.param].name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

}  // namespace
}  // namespace km
