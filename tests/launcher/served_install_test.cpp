// Everything an installation fetches from the release server: banners, realm status, the probe,
// and the update check before a game start.
#include "launcher/feeds/feeds.h"
#include "launcher/game/launch.h"
#include "platform/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "km/build_config.h"
#include "launcher/commands.h"
#include "launcher/common/events.h"
#include "launcher/common/log.h"
#include "tests/support/launcher/app_state_scope.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

TEST(BannerNames, TextScanOfTheBannersArrayAndOnlyPlainFileNames) {
    std::string flood = "{\"banners\":[\"x.exe\"";
    Names first;
    for (int i = 0; i < 303; ++i) {
        flood += ",\"COM1.png\",\"" + std::to_string(i) + ".png\"";
        if (i < 32)
            first.push_back(std::to_string(i) + ".png");
    }
    const struct {
        std::string document;
        bool found;
        Names names;
    } cases[] = {
        {"{\"x\":[\"no.png\"], \"banners\" : [ \"a.png\" , \"b\", \"c.GIF\" ],\"y\":\"z\"}",
         true,
         {"a.png", "c.GIF"}},
        {"{\"banners\":[\"a.png\"", false, {}},  // unclosed
        {"<html>502 Bad Gateway</html>", false, {}},
        {"{\"banners\":[\"a]b.png\",\"c.png\"]}", true, {}},
        {"{\"banners\":[\"a.png\",\"b]}", true, {"a.png"}},
        {flood + "]}", true, first},  // the first 32 usable names, in order
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document.substr(0, 80));
        Names names{"stale"};
        EXPECT_EQ(scan_banner_names(c.document, names), c.found);
        EXPECT_EQ(names, c.names);
    }
    for (const std::string good : {"a b.png", "..png", "a..b", "\xC3\xA9.png"})
        EXPECT_TRUE(is_plain_file_name(good)) << good;
    for (const std::string& bad :
         {std::string(""), std::string("."), std::string(".."), std::string("..\\a.png"),
          std::string("sub/a.png"), std::string("C:a.png"), std::string("a\0b", 3)})
        EXPECT_FALSE(is_plain_file_name(bad)) << bad;
}

class Served : public ::testing::Test, protected test::ServedLauncher {
  protected:
    std::string cached_url(const std::string& name) const {
        const std::string sep = build::path_separator;
        return file_url(exe_dir + sep + "cache" + sep + "banners" + sep + name);
    }
};

// Two quick ready commands start two runs: both download and answer, one after the other, as
// at once they would write the same files.
TEST_F(Served, BannersListOnlyTheImagesThatArrivedAndRunsNeverOverlap) {
    for (const char* document : {"{\"banners\":[]}", "not json", "{\"banners\":[\"gone.png\"]}"}) {
        test::write_file(release_.path() / "banners.json", document);
        fetch_banners();  // no names or no images: no event
    }
    test::write_file(release_.path() / "banners.json",
                     "{\"banners\":[\"one.png\",\"two.png\",\"three.png\"]}");
    std::atomic<int> in_flight{0}, most{0};
    for (const char* name : {"/banners/one.png", "/banners/three.png"}) {
        server_.handle("GET", name, [&](const httplib::Request& request, httplib::Response& res) {
            const int now = ++in_flight;
            most = std::max(most.load(), now);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            res.set_content("image of " + request.path, "image/png");
            --in_flight;
        });
    }
    std::thread first(fetch_banners), second(fetch_banners);
    first.join();
    second.join();
    EXPECT_EQ(most.load(), 1);
    const std::string event = event_text::banners({cached_url("one.png"), cached_url("three.png")});
    EXPECT_EQ(fake::events(), (Names{event, event}));
    EXPECT_EQ(local("cache/banners/three.png"), "image of /banners/three.png");
    EXPECT_EQ(requests_for("/banners/"), 7);
}

TEST_F(Served, ServerCannotWriteOutsideTheCacheNorDropProgramsOrHugeFiles) {
    test::publish_banners(release_.path(),
                          {"payload.exe", "x.js", "a.png.bat", "ok.PNG", "b.webp"});
    test::write_file(release_.path() / "banners" / "big.gif",
                     std::string(max_banner_image_size + 1, 'x'));
    // Windows would take these for devices, whatever the extension: refused on every platform.
    for (const char* device : {"/banners/COM1.png", "/banners/NUL.png", "/banners/CON.png"})
        server_.route(device, 200, "image");
    test::write_file(release_.path() / "banners.json",
                     "{\"banners\":[\"../../escape.png\",\"..\",\"sub/x.png\",\"..\\\\y.png\","
                     "\"C:z.png\",\"payload.exe\",\"x.js\",\"a.png.bat\",\"big.gif\",\"COM1.png\","
                     "\"NUL.png\",\"CON.png\",\"ok.PNG\",\"b.webp\"]}");
    fetch_banners();
    EXPECT_EQ(fake::events(),
              Names{event_text::banners({cached_url("ok.PNG"), cached_url("b.webp")})});
    EXPECT_EQ(requests_for("/banners/"), 3);  // big.gif was tried and cut off
    const fs::directory_iterator cache(install_.path() / "cache" / "banners");
    EXPECT_EQ(std::distance(cache, fs::directory_iterator()), 2);  // nothing else kept
}

// Images that add up to more than the cache may hold (the count is capped by the scan): none is
// fetched once the kept ones would pass 64 MiB, and images no longer named go. Only plain files
// of ours go: not a link or what it leads to, not a folder or a file of another kind, and nothing
// at all after a body that is no banners document.
TEST_F(Served, BannerFloodFillsNeitherTheDiskNorTheCache) {
    const fs::path cache = install_.path() / "cache" / "banners";
    const test::TempDir elsewhere;
    elsewhere.write("kept.png", "not ours");
    for (const char* name : {"old.png", "notes.txt", "dir.png/inside.png", "big8.png"})
        install_.write("cache/banners/" + std::string(name), "earlier");
    std::error_code ec;
    fs::create_symlink(elsewhere.path() / "kept.png", cache / "link.png", ec);
    test::write_file(release_.path() / "banners.json", "<html>502 Bad Gateway</html>");
    fetch_banners();
    EXPECT_TRUE(fs::exists(cache / "old.png"));

    std::string document = "{\"banners\":[\"big0.png\"";  // twice: shown twice, fetched once
    Names urls = {cached_url("big0.png")};
    for (int i = 0; i < 9; ++i) {
        const std::string name = "big" + std::to_string(i) + ".png";
        server_.route_stream("/banners/" + name, max_banner_image_size, false);
        document += ",\"" + name + "\"";
        if (i < 8)
            urls.push_back(cached_url(name));
    }
    test::write_file(release_.path() / "banners.json", document + "]}");
    fetch_banners();
    EXPECT_EQ(fake::events(), Names{event_text::banners(urls)});
    EXPECT_EQ(requests_for("/banners/big"), 8);
    // The eight images, notes.txt, dir.png and link.png: old.png and the copy of big8.png went.
    EXPECT_EQ(std::distance(fs::directory_iterator(cache), {}), ec ? 10 : 11);
    EXPECT_EQ(elsewhere.read("kept.png"), "not ours");
}

TEST_F(Served, RealmStatusIsInsertedByteForByteAndOnlyWhenItIsOneJsonValue) {
    fetch_realm_status();  // 404
    // The first would add forged members to the event around it.
    for (const std::string& body :
         {std::string("{},\"event\":\"progress\",\"status\":\"All files up to date (v9.9.9)\""),
          std::string("{}\0garbage", 10)}) {
        test::publish_realm_status(release_.path(), body);
        fetch_realm_status();
    }
    const std::string document =
        "{ \"realms\" : [ {\"name\":\"Ash\\u00e9\", \"up\":true} ],\n\"n\":1 }";
    server_.route("/realm_status.json", 200, document);
    fetch_realm_status();
    EXPECT_EQ(fake::events(), Names{"{\"event\":\"realmStatus\",\"data\":" + document + "}"});
}

TEST_F(Served, RealmPollerFetchesEveryTwoSecondsWithOneFetchInFlight) {
    std::atomic<int> calls{0};
    server_.handle("GET", "/realm_status.json", [&](const httplib::Request&, httplib::Response& r) {
        if (calls++ == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // over the next tick
        r.set_content("{\"a\":1}", "application/json");
    });
    realm_poll_started.store(true);
    std::thread poller(poll_realm_status);
    std::this_thread::sleep_for(std::chrono::milliseconds(3300));
    EXPECT_EQ(calls.load(), 1);  // the tick at 2 s found the first fetch still running
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    realm_poll_started.store(false);
    poller.join();
    for (int i = 0; i < 100 && realm_fetch_in_flight(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls.load(), 2);
}

TEST_F(Served, ProbeRunsACheckOnlyWhenOnlineAndNoneIsRunning) {
    probe_server();  // manifest 404
    EXPECT_EQ(server_.request_count.load(), 1);
    test::publish_release(release_.path(), 1, 0, 0, {});
    updater::update_in_progress.store(true);
    probe_server();
    updater::update_in_progress.store(false);
    probe_server();
    const auto events = fake::events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(Names(events.begin(), events.begin() + 4),
              (Names{event_text::server_status(false), event_text::server_status(true),
                     event_text::server_status(true), event_text::updating(true)}));
}

// A current installation: the check downloads nothing, the repair everything again.
TEST_F(Served, RepairCommandDownloadsWhatACheckFindsCurrent) {
    test::publish_release(release_.path(), 1, 0, 0, {{"a.txt", "alpha"}});
    test::install_file(install_.path(), "a.txt", "alpha");
    for (const auto& [command, downloads] : {std::pair{"checkUpdates", 0}, {"repair", 1}}) {
        fake::reset();
        handle_page_command(std::string("{\"cmd\":\"") + command + "\"}");
        ASSERT_TRUE(fake::wait_for([](const fake::State& s) {
            return std::ranges::count(s.events, event_text::updating(false)) == 1;
        }));
        // The flag is let go just after the last event.
        for (int i = 0; i < 1000 && updater::update_in_progress.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(requests_for("/launcher_files/"), downloads) << command;
    }
}

TEST_F(Served, LaunchStartsTheRightClientOrSaysWhyNot) {
    test::publish_release(release_.path(), 1, 0, 0, {});  // current: every check passes
    const std::string beta = build::beta_marker, missing = "Game executable not found:\n";
    const struct {
        std::string extra, executable, box;
        bool installed = true, starts = true, checks = true;
        std::string game_args;
    } cases[] = {
        {"", "Game_x64_win.exe"},
        {beta, beta_game_exe},
        {"", "Game_x64_win.exe", "Failed to launch game.", true, false},
        {"", "Game_x64_win.exe", missing + exe_path("Game_x64_win.exe"), false},
        {beta, beta_game_exe,
         missing + exe_path(beta_game_exe) +
             "\n\nBeta client binary missing. Reabri el launcher para que el auto-update lo baje.",
         false},
        {"--enter-map=arena", "Game_x64_win.exe", "", true, true, true, "-w"},
        {"", "Game_x64_win.exe", "", true, true, false}};  // a failed check starts nothing
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra + c.box);
        fake::reset();
        fs::remove(install_.path() / c.executable);
        if (c.installed)
            test::install_file(install_.path(), c.executable, "game");
        fake::state().start_game_result = c.starts;
        launcher_config.game_args = c.game_args;
        if (!c.checks)
            fs::remove(release_.path() / "update.manifest.json.sig");
        launch_worker(std::make_unique<std::string>(c.extra));
        auto guard = fake::lock();
        const fake::State& s = fake::state();
        ASSERT_EQ(s.games.size(), c.installed && c.checks ? 1u : 0u);
        // Its folder and launch token are the whole-program session's to compare.
        for (const auto& game : s.games)
            EXPECT_EQ(game.executable + "|" + game.parameters,
                      exe_path(c.executable) + "|" +
                          (c.game_args.empty() ? c.extra : c.game_args + " " + c.extra));
        EXPECT_EQ(s.requests.size(), c.box.empty() && c.checks ? 1u : 0u);  // the window closes
        std::string boxes;
        for (const auto& box : s.message_boxes)
            boxes += box.caption + std::to_string(box.style) +
                     std::to_string(box.owned_by_main_window) + ":" + box.text;
        EXPECT_EQ(boxes, c.box.empty()
                             ? ""
                             : "Launcher" + std::to_string(platform::mb_iconerror) + "1:" + c.box);
    }
}

// What support reads afterwards: each check's numbers and how it ended, each launch, and never
// the launch token. A log that cannot be written changes nothing of it.
TEST_F(Served, ChecksAndLaunchesAreWrittenDownAndAnUnwritableLogChangesNothing) {
    test::publish_release(release_.path(), 1, 2, 3, {{"a.txt", "alpha"}, {"b.txt", "beta"}});
    test::install_file(install_.path(), "a.txt", "alpha");
    test::install_file(install_.path(), "Game_x64_win.exe", "game");
    const std::string server = "server=" + server_.host() + ":" + std::to_string(server_.port());
    server_.route("/launcher_files/b.txt", 404, "gone");
    const struct {
        bool log_writable;
        std::vector<std::string> lines;
    } cases[] = {
        {true,
         {"check failed " + server + " manifest=1.2.3 checked=2 downloaded=0 in_use=0 bytes=",
          " status=\"Download failed. Check your connection.\" path=\"/launcher_files/b.txt\" "
          "error=\"HTTP 404\"",
          "launch mode=\"normal\" not started: the update check failed"}},
        {false, {}}};
    std::vector<std::string> events;  // of the check with a log
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log_writable);
        fake::reset();
        fs::remove_all(install_.path() / "cache");
        if (!c.log_writable)
            test::write_file(install_.path() / "cache", "not a folder");
        log_open(exe_dir, "");
        launch_worker(std::make_unique<std::string>());
        EXPECT_TRUE(fake::state().games.empty());
        if (c.log_writable)
            events = fake::events();
        EXPECT_EQ(fake::events(), events);
        ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
        const std::string log = local("cache/launcher.log");
        for (const auto& part : c.lines)
            EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
        EXPECT_EQ(log.empty(), !c.log_writable);
    }
    // Now the file arrives: one download, the game starts.
    fs::remove_all(install_.path() / "cache");
    server_.route("/launcher_files/b.txt", 200, "beta");
    launch_worker(std::make_unique<std::string>(build::beta_marker));
    ASSERT_EQ(fake::state().games.size(), 0u);  // no beta client: the box tells
    test::install_file(install_.path(), beta_game_exe, "beta game");
    launch_worker(std::make_unique<std::string>("--enter-map=arena_01"));
    ASSERT_EQ(fake::state().games.size(), 1u);
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    const std::string log = local("cache/launcher.log");
    for (const std::string& part :
         {"check ok " + server + " manifest=1.2.3 checked=2 downloaded=1 in_use=0 bytes=",
          std::string(" status=\"Updated to v1.2.3\"") +
              (build::windows_path_rules ? "\r\n" : "\n"),
          "launch mode=\"beta\" missing \"" + exe_path(beta_game_exe) + "\"",
          "launch mode=\"map arena_01\" started \"" + exe_path("Game_x64_win.exe") + "\""})
        EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
    EXPECT_EQ(log.find(build::launch_token), std::string::npos);
    log_open("", "");
}

// The client the check watches is finished before any file is looked at, so nothing is
// downloaded for it; the beta client is finished by the start itself.
TEST_F(Served, PendingReplacementsAreFinishedBeforeTheCheckAndTheDetachedStart) {
    test::publish_release(release_.path(), 1, 0, 0, {{"Game_x64_win.exe", "v2", "", true}});
    for (const std::string name : {"Game_x64_win.exe", beta_game_exe}) {
        test::install_file(install_.path(), name, "v1");
        test::install_file(install_.path(), name + ".update", "v2");
    }
    start_launch_worker(build::beta_marker);
    ASSERT_TRUE(fake::wait_for([](const fake::State& s) { return !s.requests.empty(); }));
    for (const std::string name : {"Game_x64_win.exe", beta_game_exe}) {
        EXPECT_EQ(local(name), "v2") << name;
        EXPECT_FALSE(exists(name + ".update") || exists(name + ".old")) << name;
    }
    EXPECT_EQ(requests_for("/launcher_files/"), 0);
}

}  // namespace
}  // namespace km
