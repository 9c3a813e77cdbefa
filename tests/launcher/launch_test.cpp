#include "launcher/game/launch.h"

#include <gtest/gtest.h>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "updater/update_check.h"

namespace km {
namespace {

using platform::WindowRequest;

// An installation that is current against a published empty release, so every launch passes
// its update check and reaches the game start.
class Launch : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        scope_ = std::make_unique<test::ScopedExeDir>(install_.str());
        test::publish_release(release_.path(), 1, 0, 0, {});
        server_.serve_file_tree(release_.path());
        launcher_config.host = server_.host();
        launcher_config.port = server_.port();
    }
    void TearDown() override { updater::update_in_progress.store(false); }

    void run(const std::string& extra) { launch_worker(std::make_unique<std::string>(extra)); }
    std::vector<fake::GameStart> games() {
        auto guard = fake::lock();
        return fake::state().games;
    }
    std::vector<fake::MessageBoxCall> boxes() {
        auto guard = fake::lock();
        return fake::state().message_boxes;
    }

    test::TempDir install_;
    test::TempDir release_;
    std::unique_ptr<test::ScopedExeDir> scope_;
    test::TestServer server_;
};

TEST_F(Launch, StartsTheRightClientWithItsParameters) {
    const std::string beta = build::beta_marker;
    const struct {
        const char* name;
        std::string game_args;
        std::string extra;
        std::string executable;
        std::string parameters;
    } cases[] = {
        {"normal", "", "", "Game_x64_win.exe", ""},
        {"normal with args", "-realm eu", "", "Game_x64_win.exe", "-realm eu"},
        {"beta", "", beta, beta_game_exe, beta},
        {"beta with args", "-windowed", beta, beta_game_exe, "-windowed " + beta},
        {"map", "", "--enter-map=arena_01", "Game_x64_win.exe", "--enter-map=arena_01"},
        {"spectator", "-x", "--spectate-map=x", "Game_x64_win.exe", "-x --spectate-map=x"},
    };
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    test::install_file(install_.path(), beta_game_exe, "beta game");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        launcher_config.game_args = c.game_args;
        run(c.extra);

        const auto started = games();
        ASSERT_EQ(started.size(), 1u);
        EXPECT_EQ(started[0].executable, exe_path(c.executable));
        EXPECT_EQ(started[0].parameters, c.parameters);
        EXPECT_EQ(started[0].directory, exe_dir);
        EXPECT_EQ(started[0].launch_env, build::launch_token);
        EXPECT_EQ(fake::requests(), std::vector<WindowRequest>{WindowRequest::close});
        EXPECT_TRUE(boxes().empty());
    }
}

TEST_F(Launch, MissingExecutableShowsItsPathOwnedByTheWindow) {
    const struct {
        const char* name;
        std::string extra;
        std::string text;
    } cases[] = {
        {"normal", "", "Game executable not found:\n" + exe_path("Game_x64_win.exe")},
        {"beta", build::beta_marker,
         "Game executable not found:\n" + exe_path(beta_game_exe) +
             "\n\nBeta client binary missing. Reabri el launcher para que el auto-update lo "
             "baje."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        run(c.extra);
        EXPECT_TRUE(games().empty());
        EXPECT_TRUE(fake::requests().empty());
        const auto shown = boxes();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, c.text);
        EXPECT_EQ(shown[0].caption, "Launcher");
        EXPECT_EQ(shown[0].style, platform::mb_iconerror);
        EXPECT_TRUE(shown[0].owned_by_main_window);
    }
}

TEST_F(Launch, ClientThatDoesNotStartKeepsTheLauncherOpen) {
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    {
        auto guard = fake::lock();
        fake::state().start_game_result = false;
    }
    run("");
    const auto shown = boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Failed to launch game.");
    EXPECT_EQ(shown[0].caption, "Launcher");
    EXPECT_EQ(shown[0].style, platform::mb_iconerror);
    EXPECT_TRUE(fake::requests().empty());
}

TEST_F(Launch, FailedUpdateStartsNothingAndShowsNoBox) {
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    std::filesystem::remove(release_.path() / "update.manifest.json.sig");
    run("");
    EXPECT_TRUE(games().empty());
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(fake::requests().empty());
    EXPECT_FALSE(fake::events().empty());  // the check reported why
}

TEST_F(Launch, SecondLaunchWhileACheckRunsDoesNothingAtAll) {
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    updater::update_in_progress.store(true);
    run("");
    EXPECT_TRUE(games().empty());
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(fake::events().empty());
    EXPECT_EQ(server_.request_count.load(), 0);
}

TEST_F(Launch, PendingReplacementIsPutInPlaceBeforeTheStart) {
    test::install_file(install_.path(), beta_game_exe, "beta v1");
    test::install_file(install_.path(), std::string(beta_game_exe) + ".update", "beta v2");
    run(build::beta_marker);
    ASSERT_EQ(games().size(), 1u);
    EXPECT_EQ(install_.read(beta_game_exe), "beta v2");
    EXPECT_FALSE(std::filesystem::exists(install_.path() / (std::string(beta_game_exe) + ".old")));
}

TEST_F(Launch, DetachedWorkerStartsTheGame) {
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    start_launch_worker("--enter-map=m");
    ASSERT_TRUE(fake::wait_for([](const fake::State& s) { return !s.requests.empty(); }));
    const auto started = games();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].parameters, "--enter-map=m");
}

}  // namespace
}  // namespace km
