// The real Launcher under Xvfb, updating from a release that km-publish signed, driven by a test
// page through window.chrome.webview. One loopback server serves the release and is the page's
// recorder: the page reports every event it receives and plays the commands the test queues.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "km/build_config.h"
#include "launcher/config/launcher_config.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace km {
namespace {

using test::eventually;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

const fs::path build_dir = KM_E2E_BUILD_DIR;
constexpr char dev_seed[] = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";

// Every running process whose executable lies in `directory`.
std::vector<pid_t> processes_running_from(const fs::path& directory) {
    std::vector<pid_t> found;
    const std::string prefix = fs::weakly_canonical(directory).string() + "/";
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code ec;
        const std::string exe = fs::read_symlink(entry.path() / "exe", ec).string();
        // Only process folders, and self and thread-self (this test), hold an exe link.
        if (!ec && exe.rfind(prefix, 0) == 0)
            found.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
    }
    return found;
}

bool run_tool(std::vector<std::string> args) {
    args[0] = (build_dir / args[0]).string();
    return test::wait_exit(test::spawn(args, {.directory = build_dir}), 60s) == 0;
}

// A private Xvfb for this test program, unless it already runs on a display.
void ensure_display() {
    static pid_t xvfb = -1;
    if (xvfb > 0 || std::getenv("DISPLAY"))
        return;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    xvfb = test::spawn(
        {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
        {.fd3 = fds[1]});
    ::close(fds[1]);
    std::string number;
    for (char c = 0; ::read(fds[0], &c, 1) == 1 && c != '\n';)
        number.push_back(c);
    ::close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not report its display";
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    std::atexit([] { ::kill(xvfb, SIGTERM); });
}

// The page: every event it receives goes to the recorder; it sends `ready` once loaded, then
// plays the queued commands.
constexpr char page_html[] = R"(<!doctype html><meta charset="utf-8"><script>
var recorder = 'http://127.0.0.1:PORT';
var webview = window.chrome && window.chrome.webview;
webview.addEventListener('message', function (e) {
  fetch(recorder + '/record', {method: 'POST', body: JSON.stringify(e.data)});
});
webview.postMessage({cmd: 'ready'});
(function poll() {
  fetch(recorder + '/next').then(function (r) { return r.text(); }).then(function (text) {
    if (text) webview.postMessage(JSON.parse(text));
    setTimeout(poll, 50);
  }).catch(function () { setTimeout(poll, 200); });
})();
</script>)";

class LauncherE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ensure_display();
        // The test page stays out of the release, so no update replaces it.
        std::string page = page_html;
        page.replace(page.find("PORT"), 4, std::to_string(server.port()));
        work.write("install/web/index.html", page);
        fs::copy_file(build_dir / "Launcher", install / "Launcher");
        work.write("release/data/maps/arena_01.map", "KMAP 1\nname=arena_01\n");
        work.write("release/data/text/lore.txt", "the ash-vow\n");
        fs::copy_file(build_dir / "demo/Game_x64_win.exe", release / "Game_x64_win.exe");
        ASSERT_TRUE(run_tool({"km-keygen", "--from-seed", dev_seed, key.string()}));
        publish();
        server.serve_file_tree(content);
        server.handle("POST", "/record", [this](const httplib::Request& request, auto& response) {
            std::lock_guard<std::mutex> hold(mutex);
            reports.push_back(json::parse(request.body));
            response.set_header("Access-Control-Allow-Origin", "*");
        });
        server.handle("GET", "/next", [this](const httplib::Request&, auto& response) {
            std::lock_guard<std::mutex> hold(mutex);
            response.set_header("Access-Control-Allow-Origin", "*");
            response.set_content(commands.empty() ? "" : commands.front(), "text/plain");
            if (!commands.empty())
                commands.pop_front();
        });
    }

    void TearDown() override {
        // Launchers started by restartNow and demo clients are not our children.
        for (const pid_t pid : processes_running_from(install))
            ::kill(pid, SIGKILL);
        if (launcher > 0)
            ::waitpid(launcher, nullptr, 0);
    }

    void publish() {
        ASSERT_TRUE(run_tool({"km-publish", "--key", key.string(), "--allow-test-key", "--version",
                              "1.0.0", "--from", release.string(), "--to", content.string()}));
    }

    void start(const std::string& game_args = "") {
        const LauncherConfig config{
            .host = server.host(), .port = server.port(), .game_args = game_args};
        test::write_file(install / "launcher.ini", config_text(config));
        launcher = spawn_launcher(install);
        // Only `ready` is answered with the settings.
        ASSERT_TRUE(eventually([&] { return !events("settings").empty(); })) << "no page loaded";
    }
    // The working directory differs from the installation on purpose: the game must be started
    // in the launcher's own folder, whatever the launcher's was.
    pid_t spawn_launcher(const fs::path& folder) {
        return test::spawn({(folder / "Launcher").string()},
                           {.directory = work.path(), .env = {"KM_DEMO_GAME_HEADLESS=1"}});
    }
    // The titles of the launchers' main windows on the display, the front one first.
    std::vector<std::string> windows() {
        const fs::path listing = work.path() / "windows.txt";
        test::wait_exit(test::spawn({"/usr/bin/xwininfo", "-root", "-children"},
                                    {.out_file = listing.string()}),
                        10s);
        std::vector<std::string> titles;
        std::istringstream lines(test::read_file(listing));
        for (std::string line; std::getline(lines, line);) {
            const auto open = line.find(" \""), close = line.find("\": (\"KMAshvowLauncher\"");
            if (open != std::string::npos && close != std::string::npos &&
                line.find(" 1100x720+") != std::string::npos)
                titles.push_back(line.substr(open + 2, close - open - 2));
        }
        return titles;
    }

    void send(const json& command) {
        std::lock_guard<std::mutex> hold(mutex);
        commands.push_back(command.dump());
    }
    // The events named `name` the page received, in arrival order.
    std::vector<json> events(const std::string& name) {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<json> out;
        for (const json& event : reports)
            if (event.value("event", "") == name)
                out.push_back(event);
        return out;
    }
    bool wait_for(const std::string& name, const std::function<bool(const json&)>& pred) {
        return eventually([&] {
            const auto seen = events(name);
            return std::any_of(seen.begin(), seen.end(), pred);
        });
    }
    std::string record() {
        std::lock_guard<std::mutex> hold(mutex);
        return json(reports).dump().substr(0, 3000);
    }

    test::TempDir work;
    const fs::path install = work.path() / "install", release = work.path() / "release",
                   content = work.path() / "content", key = work.path() / "key.pem";
    std::mutex mutex;
    std::vector<json> reports;
    std::deque<std::string> commands;
    test::TestServer server;  // after the record: it stops before the record goes away
    pid_t launcher = -1;
};

auto any = [](const json&) { return true; };

// One session through the real window and bridge: ready's answers, the first check, a second one
// that finds everything current, a repair that fetches everything again, and a launch that starts
// the game in the launcher's folder and closes the launcher. What a command does once it arrives
// (settings, realm documents, refused manifests) is held by the unit tests.
TEST_F(LauncherE2E, ASessionChecksRepairsAndStartsTheGameInTheLauncherFolder) {
    start(R"(--windowed "--profile=Ash Vow")");
    EXPECT_TRUE(wait_for("version", any));
    EXPECT_TRUE(wait_for("serverStatus", [](const json& e) { return e.value("online", false); }));
    // The first check after `ready` puts every file of the release in place.
    ASSERT_TRUE(wait_for("updateComplete", [](const json& e) { return e["downloaded"] == 3; }))
        << record();
    EXPECT_EQ(test::read_file(install / "data/maps/arena_01.map"), "KMAP 1\nname=arena_01\n");
    EXPECT_EQ(test::read_file(install / "data/text/lore.txt"), "the ash-vow\n");
    EXPECT_TRUE(fs::exists(install / "Game_x64_win.exe"));
    send({{"cmd", "checkUpdates"}});
    ASSERT_TRUE(eventually([&] { return events("updateComplete").size() >= 2; })) << record();
    EXPECT_EQ(events("updateComplete")[1]["downloaded"], 0);
    send({{"cmd", "repair"}});
    ASSERT_TRUE(eventually([&] { return events("updateComplete").size() >= 3; })) << record();
    EXPECT_EQ(events("updateComplete")[2]["downloaded"], 3);

    send({{"cmd", "launchWithMap"}, {"map", "arena_01"}});
    EXPECT_EQ(test::wait_exit(launcher, 60s), std::optional<int>(0)) << record();
    const std::string expected = "cwd=" + fs::weakly_canonical(install).string() +
                                 "\nKMASH_LAUNCH=" + build::launch_token +
                                 "\nargc=3\narg1=--windowed\narg2=--profile=Ash Vow\n"
                                 "arg3=--enter-map=arena_01\n";
    const fs::path started = install / "game_started.txt";
    EXPECT_TRUE(eventually([&] { return test::read_file(started) == expected; }, 10s))
        << test::read_file(started);
    // The process ends without joining a thread; what it logged is on disk all the same.
    const std::string log = test::read_file(install / "cache/launcher.log");
    for (const char* line : {" start version=", " page ready", " check ok ", " check ok repair ",
                             " launch mode=\"map arena_01\" started ", " end exit code 0\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find(build::launch_token), std::string::npos) << log;
}

TEST_F(LauncherE2E, SelfUpdateRestartsIntoTheNewLauncherAndRemovesTheOldCopy) {
    // The next launcher: the same program with bytes appended, so it runs and differs.
    const std::string next = test::read_file(build_dir / "Launcher") + "\nnext generation\n";
    test::write_file(release / "Launcher", next);
    publish();
    start();
    ASSERT_TRUE(wait_for("restartPrompt", any)) << record();
    EXPECT_TRUE(wait_for("updateComplete", [](const json& e) { return e["restartNeeded"]; }));
    EXPECT_TRUE(fs::exists(install / "Launcher.update"));

    send({{"cmd", "restartNow"}});
    EXPECT_EQ(test::wait_exit(launcher, 20s), std::optional<int>(0));
    // The second generation puts the new file in place and execs it: the third loads the page.
    ASSERT_TRUE(eventually([&] { return events("settings").size() >= 2; }, 60s))
        << "no launcher came back";
    // Compared as a truth value: a diff of two programs would exhaust the memory.
    EXPECT_TRUE(test::read_file(install / "Launcher") == next);
    EXPECT_FALSE(fs::exists(install / "Launcher.update"));
    EXPECT_TRUE(eventually([&] { return !fs::exists(install / "Launcher.old"); }, 10s));
    const auto running = processes_running_from(install);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(test::read_file("/proc/" + std::to_string(running[0]) + "/exe") == next);
    send({{"cmd", "close"}});
    EXPECT_TRUE(eventually([&] { return processes_running_from(install).empty(); }, 20s));
    const std::string log = test::read_file(install / "cache/launcher.log");
    for (const char* line : {" self-update restart: the player asked for it\n",
                             " self-update finished the pending replacement of "})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// Two launchers of one folder started together make one window and one update check; the other
// ends at once with 0. A later start brings that window to the front, over the window of another
// installation's launcher, which it leaves alone.
TEST_F(LauncherE2E, StartsOfARunningInstallationBringItsWindowForwardAndEnd) {
    test::write_file(install / "launcher.ini",
                     config_text({.host = server.host(), .port = server.port()}));
    const pid_t both[] = {spawn_launcher(install), spawn_launcher(install)};
    std::optional<int> code;
    ASSERT_TRUE(eventually([&] {
        for (const pid_t pid : both)
            if (const auto ended = test::wait_exit(pid, 0ms)) {
                code = ended;
                launcher = pid == both[0] ? both[1] : both[0];
                return true;
            }
        return false;
    })) << "both launchers still run";
    EXPECT_EQ(code, std::optional<int>(0));
    ASSERT_TRUE(wait_for("updateComplete", any)) << record();
    std::this_thread::sleep_for(2s);  // time for a second check, if there were one
    EXPECT_EQ(events("settings").size(), 1u);
    const auto seen = server.requests();
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const auto& r) { return r.path == "/update.manifest.json.sig"; }),
              1);
    EXPECT_EQ(windows(), std::vector<std::string>{"Keldmoor Ashvow"});

    const fs::path other = work.path() / "other";
    work.write("other/web/index.html", "<!doctype html><title>other</title>");
    fs::copy_file(build_dir / "Launcher", other / "Launcher");
    test::write_file(other / "launcher.ini", config_text({.title = "Other Ashvow"}));
    const pid_t covering = spawn_launcher(other);
    using Titles = std::vector<std::string>;
    EXPECT_TRUE(eventually([&] {
        return windows() == Titles{"Other Ashvow", "Keldmoor Ashvow"};
    })) << "the other installation's window did not open in front";
    EXPECT_EQ(test::wait_exit(spawn_launcher(install), 20s), std::optional<int>(0));
    EXPECT_TRUE(eventually(
        [&] {
            return windows() == Titles{"Keldmoor Ashvow", "Other Ashvow"};
        },
        5s));
    ::kill(covering, SIGKILL);
    ::waitpid(covering, nullptr, 0);
}

}  // namespace
}  // namespace km
