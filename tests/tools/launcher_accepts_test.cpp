// The whole road an operator's release takes: km-publish, a web server in front of the content
// folder, and the launcher's own update check installing it.
#include <gtest/gtest.h>

#include <filesystem>

#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/tools/tool_runner.h"
#include "updater/update_check.h"

namespace km {
namespace {

namespace fs = std::filesystem;

TEST(PublishedRelease, TheLaunchersUpdateCheckInstallsIt) {
    test::TempDir work;
    const fs::path key = work.path() / "dev.pem";
    ASSERT_EQ(
        test::run_tool("km-keygen", {"--from-seed", test::dev_seed_hex, key.string()}).exit_code,
        0);
    work.write("release/Game_x64_win.exe", "game client v3");
    work.write("release/data/maps/arena.map", std::string(200000, 'a'));
    work.write("release/web/index.html", "<html>v3</html>");
    work.write("release/settings.ini", "the operator's own settings");
    const fs::path content = work.path() / "content";
    const test::ToolRun published = test::run_tool(
        "km-publish", {"--key", key.string(), "--version", "3.1.4", "--from",
                       (work.path() / "release").string(), "--to", content.string()});
    ASSERT_EQ(published.exit_code, 0) << published.err;

    test::TestServer server;
    server.serve_file_tree(content);
    test::TempDir install;
    install.write("settings.ini", "the player's settings");
    fake::reset();
    test::ScopedExeDir scope(install.str());
    launcher_config.host = server.host();
    launcher_config.port = server.port();

    EXPECT_TRUE(updater::run_update_check_impl(false));
    updater::update_in_progress.store(false);

    EXPECT_EQ(install.read("Game_x64_win.exe"), "game client v3");
    EXPECT_EQ(install.read("data/maps/arena.map"), std::string(200000, 'a'));
    EXPECT_EQ(install.read("web/index.html"), "<html>v3</html>");
    EXPECT_EQ(install.read("settings.ini"), "the player's settings");
    bool reported_version = false;
    for (const std::string& event : fake::events()) {
        reported_version |= event.find("Updated to v3.1.4") != std::string::npos;
    }
    EXPECT_TRUE(reported_version);

    // A second check finds nothing to do.
    fake::reset();
    EXPECT_TRUE(updater::run_update_check_impl(false));
    updater::update_in_progress.store(false);
    bool current = false;
    for (const std::string& event : fake::events()) {
        current |= event.find("All files up to date (v3.1.4)") != std::string::npos;
    }
    EXPECT_TRUE(current);
}

}  // namespace
}  // namespace km
