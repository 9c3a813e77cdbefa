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

// An installation that is current against a published empty release, so every launch passes
// its update check and reaches the game start.
class Launch : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        test::publish_release(release_.path(), 1, 0, 0, {});
        server_.serve_file_tree(release_.path());
        launcher_config.host = server_.host();
        launcher_config.port = server_.port();
    }
    void TearDown() override { updater::update_in_progress.store(false); }

    void run(const std::string& extra) { launch_worker(std::make_unique<std::string>(extra)); }

    test::TempDir install_;
    test::TempDir release_;
    test::ScopedExeDir scope_{install_.str()};
    test::TestServer server_;
};

TEST_F(Launch, StartsTheRightClientOrSaysWhyNot) {
    const std::string beta = build::beta_marker;
    const std::string missing = "Game executable not found:\n";
    const struct {
        std::string game_args, extra, executable, parameters, box;
        bool installed = true, starts = true;
    } cases[] = {
        {"", "", "Game_x64_win.exe", ""},
        {"-realm eu", "", "Game_x64_win.exe", "-realm eu"},
        {"", beta, beta_game_exe, beta},
        {"-windowed", beta, beta_game_exe, "-windowed " + beta},
        {"-x", "--spectate-map=x", "Game_x64_win.exe", "-x --spectate-map=x"},
        {"", "", "Game_x64_win.exe", "", "Failed to launch game.", true, false},
        {"", "", "Game_x64_win.exe", "", missing + exe_path("Game_x64_win.exe"), false},
        {"", beta, beta_game_exe, "",
         missing + exe_path(beta_game_exe) +
             "\n\nBeta client binary missing. Reabri el launcher para que el auto-update lo baje.",
         false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.parameters + c.box);
        fake::reset();
        std::filesystem::remove(install_.path() / c.executable);
        if (c.installed)
            test::install_file(install_.path(), c.executable, "game");
        fake::state().start_game_result = c.starts;
        launcher_config.game_args = c.game_args;
        run(c.extra);

        auto guard = fake::lock();
        const fake::State& s = fake::state();
        ASSERT_EQ(s.games.size(), c.installed ? 1u : 0u);
        if (c.installed) {
            EXPECT_EQ(s.games[0].executable, exe_path(c.executable));
            EXPECT_EQ(s.games[0].parameters, c.parameters);
            EXPECT_EQ(s.games[0].directory, exe_dir);
            EXPECT_EQ(s.games[0].launch_env, build::launch_token);
        }
        EXPECT_EQ(s.requests.size(), c.box.empty() ? 1u : 0u);  // the window closes
        ASSERT_EQ(s.message_boxes.size(), c.box.empty() ? 0u : 1u);
        if (!c.box.empty()) {
            EXPECT_EQ(s.message_boxes[0].text, c.box);
            EXPECT_EQ(s.message_boxes[0].caption, "Launcher");
            EXPECT_EQ(s.message_boxes[0].style, platform::mb_iconerror);
            EXPECT_TRUE(s.message_boxes[0].owned_by_main_window);
        }
    }
}

TEST_F(Launch, NothingStartsWhenTheCheckFailsOrAnotherRuns) {
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    updater::update_in_progress.store(true);
    run("");
    EXPECT_TRUE(fake::events().empty());
    EXPECT_EQ(server_.request_count.load(), 0);
    updater::update_in_progress.store(false);
    std::filesystem::remove(release_.path() / "update.manifest.json.sig");
    run("");
    EXPECT_FALSE(fake::events().empty());  // the check reported why
    auto guard = fake::lock();
    EXPECT_TRUE(fake::state().games.empty());
    EXPECT_TRUE(fake::state().message_boxes.empty());
}

TEST_F(Launch, PendingReplacementIsPutInPlaceBeforeTheDetachedStart) {
    test::install_file(install_.path(), beta_game_exe, "beta v1");
    test::install_file(install_.path(), std::string(beta_game_exe) + ".update", "beta v2");
    start_launch_worker(build::beta_marker);
    ASSERT_TRUE(fake::wait_for([](const fake::State& s) { return !s.requests.empty(); }));
    EXPECT_EQ(install_.read(beta_game_exe), "beta v2");
    EXPECT_FALSE(std::filesystem::exists(install_.path() / (std::string(beta_game_exe) + ".old")));
}

}  // namespace
}  // namespace km
