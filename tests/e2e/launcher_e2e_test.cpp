// The real Launcher under Xvfb, updating from a release that km-publish signed and nginx serves,
// driven by a test page through window.chrome.webview.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "km/build_config.h"
#include "launcher/config/launcher_config.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/temp_dir.h"

namespace km::e2e {
namespace {

using nlohmann::json;

constexpr char dev_seed[] = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

std::map<std::string, std::string> read_key_values(const fs::path& path) {
    std::map<std::string, std::string> values;
    std::istringstream lines(test::read_file(path));
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// The end of the record, for failure messages.
std::string last_events(const Recorder& recorder) {
    const auto events = recorder.events();
    const std::size_t from = events.size() > 12 ? events.size() - 12 : 0;
    return json(std::vector<json>(events.begin() + static_cast<std::ptrdiff_t>(from), events.end()))
        .dump();
}

bool is_event(const json& event, const std::string& name) {
    return event.is_object() && event.value("event", "") == name;
}

class LauncherE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ensure_display();
        install = work.path() / "install";
        release = work.path() / "release";
        content = work.path() / "content";
        key = work.path() / "key.pem";
        for (const auto& dir :
             {install / "web", release / "data/maps", release / "data/text", content})
            fs::create_directories(dir);
        fs::copy_file(build_dir() / "Launcher", install / "Launcher");
        // The test page stays out of the release, so no update replaces it.
        test::write_file(install / "web/index.html", recorder.page_html());

        test::write_file(release / "data/maps/arena_01.map", "KMAP 1\nname=arena_01\n");
        test::write_file(release / "data/text/lore.txt", "the ash-vow\n");
        fs::copy_file(build_dir() / "demo/Game_x64_win.exe", release / "Game_x64_win.exe");
        ASSERT_TRUE(run_tool({"km-keygen", "--from-seed", dev_seed, key.string()}));
        publish();
        test::write_file(content / "realm_status.json", R"({"realms":[]})");
        server = std::make_unique<Nginx>(content, work.path());
    }

    void TearDown() override {
        if (launcher > 0 && !wait_exit(launcher, 0ms)) {
            ::kill(launcher, SIGKILL);
            wait_exit(launcher, 5s);
        }
        // Launchers started by restartNow and demo clients are not our children.
        kill_processes_running_from(install);
    }

    void publish() {
        ASSERT_TRUE(run_tool({"km-publish", "--key", key.string(), "--version", "1.0.0", "--from",
                              release.string(), "--to", content.string()}));
    }

    void write_config(const std::string& game_args = "") {
        LauncherConfig config;
        config.host = "127.0.0.1";
        config.port = server->port();
        config.game_args = game_args;
        test::write_file(install / "launcher.ini", config_text(config));
    }

    void start() {
        // The working directory differs from the installation on purpose: the game must be
        // started in the launcher's own folder, whatever the launcher's was.
        launcher =
            spawn({(install / "Launcher").string()}, work.path(), {"KM_DEMO_GAME_HEADLESS=1"});
        ASSERT_TRUE(recorder.wait_for_loads(1)) << "the page never loaded";
    }

    // The first update check after `ready`: every file of the release in place.
    void expect_first_check_done() {
        ASSERT_TRUE(recorder.wait_for_event([](const json& e) {
            return is_event(e, "updateComplete");
        })) << "no updateComplete; events: "
            << last_events(recorder);
        EXPECT_TRUE(eventually([&] { return fs::exists(install / "Game_x64_win.exe"); }, 10s));
        EXPECT_EQ(test::read_file(install / "data/maps/arena_01.map"), "KMAP 1\nname=arena_01\n");
        EXPECT_EQ(test::read_file(install / "data/text/lore.txt"), "the ash-vow\n");
        EXPECT_TRUE(fs::exists(install / "launcher_verify_cache.txt"));
    }

    std::optional<int> exit_code(std::chrono::milliseconds timeout = 20s) {
        auto code = wait_exit(launcher, timeout);
        if (code)
            launcher = -1;
        return code;
    }

    test::TempDir work;
    fs::path install, release, content, key;
    Recorder recorder;
    std::unique_ptr<Nginx> server;
    pid_t launcher = -1;
};

TEST_F(LauncherE2E, ReadyAnswersAndTheFirstCheckInstallsAFreshFolder) {
    write_config();
    start();
    EXPECT_TRUE(recorder.reports("loaded")[0].value("shim", false));
    ASSERT_TRUE(recorder.wait_for_event([](const json& e) { return is_event(e, "version"); }));
    EXPECT_TRUE(recorder.wait_for_event([](const json& e) { return is_event(e, "settings"); }));
    EXPECT_TRUE(recorder.wait_for_event(
        [](const json& e) { return is_event(e, "serverStatus") && e.value("online", false); }));
    expect_first_check_done();
    const auto done = recorder.events_named("updateComplete");
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done[0].value("downloaded", -1), 3);
    // A second check finds everything current, and the verify cache it writes names it.
    recorder.send({{"cmd", "checkUpdates"}});
    ASSERT_TRUE(
        eventually([&] { return recorder.events_named("updateComplete").size() >= 2; }, 30s));
    EXPECT_EQ(recorder.events_named("updateComplete")[1].value("downloaded", -1), 0);
    const std::string cache = test::read_file(install / "launcher_verify_cache.txt");
    EXPECT_NE(cache.find("data/maps/arena_01.map"), std::string::npos) << cache;
    EXPECT_TRUE(recorder.wait_for_event([](const json& e) {
        return is_event(e, "realmStatus") && e["data"] == json::parse(R"({"realms":[]})");
    }));

    recorder.send({{"cmd", "close"}});
    EXPECT_EQ(exit_code(), std::optional<int>(0));
}

TEST_F(LauncherE2E, FirstStartWritesLauncherIniWithTheDefaults) {
    ASSERT_FALSE(fs::exists(install / "launcher.ini"));
    start();
    EXPECT_EQ(test::read_file(install / "launcher.ini"), config_text(LauncherConfig{}));
    ASSERT_TRUE(recorder.wait_for_event(
        [](const json& e) { return is_event(e, "version") && e.value("value", "") == "1.0.0"; }));
    recorder.send({{"cmd", "close"}});
    EXPECT_EQ(exit_code(), std::optional<int>(0));
}

TEST_F(LauncherE2E, LaunchStartsTheGameInTheLauncherFolderWithItsTokenAndExits) {
    write_config(R"(--windowed "--profile=Ash Vow")");
    start();
    expect_first_check_done();
    recorder.send({{"cmd", "launchWithMap"}, {"map", "arena_01"}});
    EXPECT_EQ(exit_code(60s), std::optional<int>(0)) << last_events(recorder);
    ASSERT_TRUE(eventually([&] { return fs::exists(install / "game_started.txt"); }, 10s));
    auto started = read_key_values(install / "game_started.txt");
    EXPECT_EQ(started["cwd"], fs::weakly_canonical(install).string());
    EXPECT_EQ(started["KMASH_LAUNCH"], build::launch_token);
    EXPECT_EQ(started["argc"], "3");
    EXPECT_EQ(started["arg1"], "--windowed");
    EXPECT_EQ(started["arg2"], "--profile=Ash Vow");
    EXPECT_EQ(started["arg3"], "--enter-map=arena_01");
}

TEST_F(LauncherE2E, SaveSettingsWritesSettingsIniAndTheNextReadyShowsIt) {
    write_config();
    start();
    recorder.send({{"cmd", "saveSettings"},
                   {"data",
                    {{"mode", "fullscreen"},
                     {"vsync", true},
                     {"unlockFps", false},
                     {"captureMouse", true}}}});
    ASSERT_TRUE(eventually([&] { return fs::exists(install / "settings.ini"); }, 20s));
    const std::string text = test::read_file(install / "settings.ini");
    EXPECT_NE(text.find("mode = fullscreen"), std::string::npos) << text;
    EXPECT_NE(text.find("vsync = 1"), std::string::npos) << text;
    EXPECT_NE(text.find("unlimited_fps = 0"), std::string::npos) << text;
    EXPECT_NE(text.find("lock_mouse = 1"), std::string::npos) << text;
    recorder.send({{"cmd", "ready"}});
    EXPECT_TRUE(recorder.wait_for_event([](const json& e) {
        return is_event(e, "settings") && e.dump().find("fullscreen") != std::string::npos;
    })) << last_events(recorder);
}

TEST_F(LauncherE2E, CheckUpdatesRefusesATamperedManifest) {
    write_config();
    start();
    expect_first_check_done();
    // A changed byte in the manifest, its signature left as it was.
    std::string manifest = test::read_file(content / "update.manifest.json");
    const auto at = manifest.find("lore.txt");
    ASSERT_NE(at, std::string::npos);
    manifest[at] = 'L';
    test::write_file(content / "update.manifest.json", manifest);
    test::write_file(release / "data/text/lore.txt", "");
    recorder.send({{"cmd", "checkUpdates"}});
    EXPECT_TRUE(recorder.wait_for_event([](const json& e) {
        return is_event(e, "progress") && e.value("state", "") == "error" &&
               e.value("status", "") ==
                   "Update blocked: manifest signature is INVALID (tampered or wrong key).";
    })) << last_events(recorder);
    EXPECT_EQ(test::read_file(install / "data/text/lore.txt"), "the ash-vow\n");
    EXPECT_FALSE(fs::exists(install / "data/text/Lore.txt"));
}

TEST_F(LauncherE2E, RealmDocumentThatIsNotJsonIsDroppedAndLaterEventsArrive) {
    test::write_file(content / "realm_status.json", R"({"realms": [ not json)");
    write_config();
    start();
    expect_first_check_done();
    // Two polls at least go by with the broken document.
    std::this_thread::sleep_for(4500ms);
    EXPECT_TRUE(recorder.events_named("realmStatus").empty());
    const auto before = recorder.events_named("updateComplete").size();
    recorder.send({{"cmd", "checkUpdates"}});
    EXPECT_TRUE(
        eventually([&] { return recorder.events_named("updateComplete").size() > before; }, 30s));
    test::write_file(content / "realm_status.json", R"({"realms":[{"name":"Ashen Vale"}]})");
    EXPECT_TRUE(recorder.wait_for_event([](const json& e) {
        return is_event(e, "realmStatus") && e["data"]["realms"][0]["name"] == "Ashen Vale";
    }));
}

TEST_F(LauncherE2E, SelfUpdateRestartsIntoTheNewLauncherAndRemovesTheOldCopy) {
    // The next launcher: the same program with bytes appended, so it runs and differs.
    std::string next = test::read_file(build_dir() / "Launcher");
    next += "\nnext launcher generation\n";
    test::write_file(release / "Launcher", next);
    publish();
    write_config();
    start();
    ASSERT_TRUE(recorder.wait_for_event([](const json& e) { return is_event(e, "restartPrompt"); }))
        << last_events(recorder);
    EXPECT_TRUE(recorder.wait_for_event([](const json& e) {
        return is_event(e, "updateComplete") && e.value("restartNeeded", false);
    }));
    EXPECT_TRUE(fs::exists(install / "Launcher.update"));

    recorder.send({{"cmd", "restartNow"}});
    EXPECT_EQ(exit_code(), std::optional<int>(0));
    // The second generation puts the new file in place and execs it: the third loads the page.
    ASSERT_TRUE(recorder.wait_for_loads(2, 60s)) << "no launcher came back";
    EXPECT_EQ(test::read_file(install / "Launcher"), next);
    EXPECT_FALSE(fs::exists(install / "Launcher.update"));
    EXPECT_TRUE(eventually([&] { return !fs::exists(install / "Launcher.old"); }, 10s));
    const auto running = processes_running_from(install);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(test::read_file("/proc/" + std::to_string(running[0]) + "/exe"), next);

    recorder.send({{"cmd", "close"}});
    EXPECT_TRUE(eventually([&] { return processes_running_from(install).empty(); }, 20s));
}

}  // namespace
}  // namespace km::e2e
