#include "updater/update_check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/events.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/test_signer.h"
#include "updater/sha256.h"
#include "updater/transfers.h"
#include "updater/verify_cache.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using platform::WindowRequest;
using test::ReleaseFile;

std::string P(const std::string& status, const char* state, double fraction) {
    return event_text::progress(status.c_str(), state, fraction);
}

std::string status_of(const std::string& event) {
    const std::string key = "\"status\":\"";
    const std::size_t start = event.find(key);
    if (start == std::string::npos || event.rfind("{\"event\":\"progress\"", 0) != 0)
        return {};
    const std::size_t end = event.find("\",\"state\"", start);
    return event.substr(start + key.size(), end - start - key.size());
}

// The page's view without the per-chunk download progress, whose count depends on how the
// transfer was chunked: a progress event repeating the status of the one before it goes.
std::vector<std::string> without_download_progress(const std::vector<std::string>& events) {
    std::vector<std::string> kept;
    std::string previous;
    for (const std::string& event : events) {
        const std::string status = status_of(event);
        if (!status.empty() && status == previous && status.rfind("Downloading ", 0) == 0)
            continue;
        previous = status;
        kept.push_back(event);
    }
    return kept;
}

const char* kCheck = "Checking for updates...";

class UpdateCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        scope_ = std::make_unique<test::ScopedExeDir>(install_.str());
        server_.serve_file_tree(release_.path());
        launcher_config.host = server_.host();
        launcher_config.port = server_.port();
    }
    void TearDown() override { updater::update_in_progress.store(false); }

    std::string local(const std::string& path) const { return install_.read(path); }
    bool exists(const std::string& path) const { return fs::exists(install_.path() / path); }
    std::vector<std::string> page() const { return without_download_progress(fake::events()); }
    std::vector<std::string> opening() const {
        return {event_text::updating(true), P(kCheck, "working", 0.0),
                event_text::server_status(true)};
    }
    std::vector<std::string> failed_with(const std::string& text) const {
        auto events = opening();
        events.push_back(P(text, "error", 1.0));
        events.push_back(event_text::updating(false));
        return events;
    }
    int downloads() const {
        int n = 0;
        for (const auto& request : server_.requests())
            if (request.path.rfind("/launcher_files/", 0) == 0)
                ++n;
        return n;
    }

    test::TempDir install_;
    test::TempDir release_;
    std::unique_ptr<test::ScopedExeDir> scope_;
    test::TestServer server_;
};

TEST_F(UpdateCheck, EverythingUpToDateEndsWithoutDownloads) {
    const std::vector<ReleaseFile> files = {
        {"a.txt", "alpha"}, {"linux/only.so", "elf", "linux"}, {"data/b.bin", "beta"}};
    test::publish_release(release_.path(), 1, 2, 3, files);
    test::install_file(install_.path(), "a.txt", "alpha");
    test::install_file(install_.path(), "data/b.bin", "beta");
    // Left by a check killed between its installs and its clean-up.
    test::install_file(install_.path(), "updates/a.txt", "alpha");

    EXPECT_TRUE(updater::run_update_check_impl(false));

    auto expected = opening();
    expected.insert(expected.end(),
                    {event_text::version("1.2.3"), P("Checking a.txt (1/3)", "working", 1.0 / 3),
                     P("Checking data/b.bin (3/3)", "working", 1.0),
                     P("All files up to date (v1.2.3)", "success", 1.0),
                     event_text::update_complete(0, false), event_text::updating(false)});
    EXPECT_EQ(fake::events(), expected);
    EXPECT_EQ(downloads(), 0);
    EXPECT_FALSE(exists("linux/only.so"));
    EXPECT_FALSE(exists("updates"));
    EXPECT_TRUE(fake::requests().empty());
    EXPECT_FALSE(updater::update_in_progress.load());
}

TEST_F(UpdateCheck, FreshInstallDownloadsEveryFileIntoItsSubfolder) {
    const std::vector<ReleaseFile> files = {{"Game_x64_win.exe", "game v2", "", true},
                                            {"data/maps/arena.map", std::string(100000, 'm')},
                                            {"data/text/en.txt", "hello"}};
    test::publish_release(release_.path(), 2, 0, 1, files);

    EXPECT_TRUE(updater::run_update_check_impl(false));

    auto expected = opening();
    expected.insert(
        expected.end(),
        {event_text::version("2.0.1"), P("Checking Game_x64_win.exe (1/3)", "working", 1.0 / 3),
         P("Checking data/maps/arena.map (2/3)", "working", 2.0 / 3),
         P("Checking data/text/en.txt (3/3)", "working", 1.0),
         P("Downloading Game_x64_win.exe (1/3)", "working", 0.0),
         P("Downloading data/maps/arena.map (2/3)", "working", 1.0 / 3),
         P("Downloading data/text/en.txt (3/3)", "working", 2.0 / 3),
         P("Applying update...", "working", 1.0), P("Updated to v2.0.1", "success", 1.0),
         event_text::update_complete(3, false), event_text::updating(false)});
    EXPECT_EQ(page(), expected);

    // The per-chunk progress of the big file stays inside its share of the bar and never
    // repeats itself.
    std::string previous;
    for (const std::string& event : fake::events()) {
        EXPECT_NE(event, previous);
        previous = event;
    }
    EXPECT_EQ(local("data/maps/arena.map"), std::string(100000, 'm'));
    EXPECT_EQ(local("data/text/en.txt"), "hello");
    // The game client is an executable: staged beside itself and finished at the end.
    EXPECT_EQ(local("Game_x64_win.exe"), "game v2");
    EXPECT_FALSE(exists("Game_x64_win.exe.update"));
    EXPECT_FALSE(exists("updates"));
    EXPECT_TRUE(fake::requests().empty());
}

TEST_F(UpdateCheck, SecondCheckFindsTheFreshInstallCurrentThroughTheVerifyCache) {
    test::publish_release(release_.path(), 1, 0, 0, {{"a.txt", "alpha"}});
    ASSERT_TRUE(updater::run_update_check_impl(false));
    fake::reset();
    ASSERT_TRUE(updater::run_update_check_impl(false));
    EXPECT_EQ(fake::events().at(5), P("All files up to date (v1.0.0)", "success", 1.0));
    EXPECT_EQ(downloads(), 1);
}

TEST_F(UpdateCheck, RepairDownloadsEverythingAgainAndLeavesTheVerifyCacheAlone) {
    const std::vector<ReleaseFile> files = {
        {"a.txt", "alpha"}, {"linux/only.so", "elf", "linux"}, {"b/c.txt", "gamma"}};
    test::publish_release(release_.path(), 1, 0, 0, files);
    test::install_file(install_.path(), "a.txt", "alpha");
    test::install_file(install_.path(), "b/c.txt", "gamma");
    ASSERT_TRUE(updater::run_update_check_impl(false));
    const std::string cache_before = local("launcher_verify_cache.txt");
    ASSERT_FALSE(cache_before.empty());
    test::install_file(install_.path(), "a.txt", "damaged");
    fake::reset();

    EXPECT_TRUE(updater::run_update_check_impl(true));

    auto expected = opening();
    expected.insert(
        expected.end(),
        {event_text::version("1.0.0"), P("Downloading a.txt (1/2)", "working", 0.0),
         P("Downloading b/c.txt (2/2)", "working", 0.5), P("Applying update...", "working", 1.0),
         P("Updated to v1.0.0", "success", 1.0), event_text::update_complete(2, false),
         event_text::updating(false)});
    EXPECT_EQ(page(), expected);
    EXPECT_EQ(local("a.txt"), "alpha");
    EXPECT_FALSE(exists("linux/only.so"));
    EXPECT_EQ(local("launcher_verify_cache.txt"), cache_before);
}

TEST_F(UpdateCheck, OfflineServerReportsTheConnectionError) {
    int closed_port = 0;
    {
        test::TestServer gone;
        closed_port = gone.port();
    }
    launcher_config.port = closed_port;

    EXPECT_FALSE(updater::run_update_check_impl(false));

    EXPECT_EQ(fake::events(), (std::vector<std::string>{
                                  event_text::updating(true), P(kCheck, "working", 0.0),
                                  P("Offline: Could not establish connection", "error", 1.0),
                                  event_text::server_status(false), event_text::updating(false)}));
    EXPECT_FALSE(updater::update_in_progress.load());
}

TEST_F(UpdateCheck, MissingManifestCountsAsOffline) {
    EXPECT_FALSE(updater::run_update_check_impl(false));
    EXPECT_EQ(fake::events(), (std::vector<std::string>{
                                  event_text::updating(true), P(kCheck, "working", 0.0),
                                  P("Offline: HTTP 404", "error", 1.0),
                                  event_text::server_status(false), event_text::updating(false)}));
}

TEST_F(UpdateCheck, MissingOrMalformedSignatureBlocksTheUpdate) {
    const std::string manifest = test::manifest_json(1, 0, 0, {{"a.txt", "alpha"}});
    const std::string good = test::dev_signature(manifest);
    const struct {
        const char* name;
        bool present;
        std::string signature;
    } cases[] = {
        {"missing", false, ""},
        {"63 bytes", true, good.substr(0, 63)},
        {"65 bytes", true, good + "x"},
        {"hex text", true, updater::to_hex(reinterpret_cast<const std::uint8_t*>(good.data()), 64)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        test::publish_release(release_.path(), manifest, {{"a.txt", "alpha"}});
        if (c.present)
            test::write_file(release_.path() / "update.manifest.json.sig", c.signature);
        else
            fs::remove(release_.path() / "update.manifest.json.sig");

        EXPECT_FALSE(updater::run_update_check_impl(false));
        EXPECT_EQ(fake::events(),
                  failed_with("Update blocked: missing or malformed manifest signature."));
        EXPECT_FALSE(exists("a.txt"));
    }
}

TEST_F(UpdateCheck, TamperedManifestIsRefused) {
    const std::string manifest = test::manifest_json(1, 0, 0, {{"a.txt", "alpha"}});
    test::publish_release(release_.path(), manifest, {{"a.txt", "alpha"}});
    test::write_file(release_.path() / "update.manifest.json", manifest + "\n");

    EXPECT_FALSE(updater::run_update_check_impl(false));
    EXPECT_EQ(
        fake::events(),
        failed_with("Update blocked: manifest signature is INVALID (tampered or wrong key)."));
    EXPECT_EQ(downloads(), 0);
    EXPECT_FALSE(exists("launcher_verify_cache.txt"));
}

TEST_F(UpdateCheck, SignedButInvalidManifestIsRefused) {
    // The last two are signed bytes that are not the bytes a reader stopping early would parse.
    const std::string good = test::manifest_json(1, 0, 0, {{"a.txt", "a"}});
    for (const std::string& body : {std::string(), std::string("not json"),
                                    std::string("{\"files\":[{\"path\":\"a\",\"size\":\"1\"}]}"),
                                    good + std::string("\0{\"files\":[]}", 14), good + "{}"}) {
        SCOPED_TRACE(body);
        fake::reset();
        test::publish_release(release_.path(), body, {});
        EXPECT_FALSE(updater::run_update_check_impl(false));
        EXPECT_EQ(fake::events(), failed_with("Invalid manifest from server."));
    }
}

TEST_F(UpdateCheck, RefusesManifestEntryThatLeavesInstallFolder) {
    const fs::path outside = install_.path().parent_path() / "km_outside_victim.txt";
    const std::string escape = "../" + outside.filename().string();
    std::vector<std::string> refused = {escape, "/etc/evil", "a/../../x", "a//b", "./a", "C:/x",
                                        "a\\..\\..\\x", "web/..",
                                        // Entries that never settle: one file twice, or staged.
                                        "good.txt", "GOOD.txt", "updates/x", "Updates"};
    if (build::windows_path_rules)
        refused.insert(refused.end(), {"CON", "maps/aux.map", "dir./x", "GAME~1.EXE"});
    for (const std::string& bad : refused) {
        SCOPED_TRACE(bad);
        fake::reset();
        const std::vector<ReleaseFile> files = {{"good.txt", "fine"}, {bad, "payload"}};
        // Publish under a safe name: the server side never sees the bad path as a file.
        test::publish_release(release_.path(), test::manifest_json(1, 0, 0, files),
                              {{"good.txt", "fine"}});

        EXPECT_FALSE(updater::run_update_check_impl(false));
        EXPECT_EQ(fake::events(), failed_with("Invalid manifest from server."));
        EXPECT_FALSE(exists("good.txt"));
        EXPECT_FALSE(exists("launcher_verify_cache.txt"));
        EXPECT_FALSE(fs::exists(outside));
        EXPECT_EQ(downloads(), 0);
    }
}

TEST_F(UpdateCheck, FailedSecondDownloadInstallsNothing) {
    const std::vector<ReleaseFile> files = {{"a.txt", "alpha"}, {"b.txt", "beta"}, {"c.txt", "c"}};
    test::publish_release(release_.path(), 1, 0, 0, files);
    server_.route("/launcher_files/b.txt", 500, "boom");

    EXPECT_FALSE(updater::run_update_check_impl(false));

    auto expected = opening();
    expected.insert(
        expected.end(),
        {event_text::version("1.0.0"), P("Checking a.txt (1/3)", "working", 1.0 / 3),
         P("Checking b.txt (2/3)", "working", 2.0 / 3), P("Checking c.txt (3/3)", "working", 1.0),
         P("Downloading a.txt (1/3)", "working", 0.0),
         P("Downloading b.txt (2/3)", "working", 1.0 / 3),
         P("Download failed. Check your connection.", "error", 1.0), event_text::updating(false)});
    EXPECT_EQ(page(), expected);
    EXPECT_FALSE(exists("a.txt"));
    EXPECT_FALSE(exists("c.txt"));
    EXPECT_EQ(local("updates/a.txt"), "alpha");
    EXPECT_TRUE(exists("launcher_verify_cache.txt"));
    EXPECT_FALSE(updater::update_in_progress.load());
}

TEST_F(UpdateCheck, HashMismatchDeletesTheDownloadAndFails) {
    test::publish_release(release_.path(), 1, 0, 0, {{"a.txt", "alpha"}});
    const struct {
        std::string served, failure;
    } cases[] = {
        {"alphA", "File verification failed."},
        // More than the signed size: cut off at once, so a hostile server fills no more.
        {std::string(4 << 20, 'x'), "Download failed. Check your connection."},
    };
    for (const auto& c : cases) {
        fake::reset();
        test::write_file(release_.path() / "launcher_files" / "a.txt", c.served);
        EXPECT_FALSE(updater::run_update_check_impl(false));
        const auto events = page();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2], P(c.failure.c_str(), "error", 1.0));
        EXPECT_EQ(events.back(), event_text::updating(false));
        EXPECT_FALSE(exists("updates/a.txt"));
        EXPECT_FALSE(exists("a.txt"));
    }
}

TEST_F(UpdateCheck, UninstallableFileIsReportedAsInUse) {
    const std::vector<ReleaseFile> files = {{"a.txt", "alpha"}, {"busy.dat", "new"}};
    test::publish_release(release_.path(), 3, 1, 4, files);
    // A non-empty folder where the file should go: every copy attempt fails.
    test::install_file(install_.path(), "busy.dat/keep", "x");

    EXPECT_TRUE(updater::run_update_check_impl(false));

    const auto events = page();
    const std::vector<std::string> tail(events.end() - 5, events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        P("Applying update...", "working", 1.0),
                        P("1 file(s) were in use and will finish updating on next launch "
                          "(e.g. busy.dat).",
                          "warning", 1.0),
                        P("Updated to v3.1.4", "success", 1.0),
                        event_text::update_complete(2, false), event_text::updating(false)}));
    EXPECT_EQ(local("a.txt"), "alpha");
    EXPECT_EQ(local("busy.dat/keep"), "x");
}

TEST_F(UpdateCheck, PageFilesChangedAskForAReload) {
    const std::vector<ReleaseFile> files = {
        {"web/index.html", "<p>new</p>"}, {"Web/x.html", "x"}, {"webfiles/x", "y"}};
    test::publish_release(release_.path(), 1, 0, 0, files);
    EXPECT_TRUE(updater::run_update_check_impl(false));
    EXPECT_EQ(fake::requests(), std::vector<WindowRequest>{WindowRequest::reload_page});

    // Only "web/" itself counts.
    fake::reset();
    test::publish_release(release_.path(), 1, 0, 1, {{"Web/x.html", "x2"}, {"webfiles/x", "y2"}});
    EXPECT_TRUE(updater::run_update_check_impl(false));
    EXPECT_TRUE(fake::requests().empty());
}

TEST_F(UpdateCheck, OwnExecutableAsksForARestartAndNoReload) {
    const std::string self = build::launcher_exe_name;
    const std::vector<ReleaseFile> files = {{self, "launcher v2", "", true},
                                            {"web/index.html", "<p>new</p>"}};
    test::publish_release(release_.path(), 1, 4, 0, files);
    test::install_file(install_.path(), self, "launcher v1");

    EXPECT_TRUE(updater::run_update_check_impl(false));

    const auto events = page();
    const std::vector<std::string> tail(events.end() - 3, events.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{
                  P("Updated to v1.4.0 \xE2\x80\x94 restart launcher to apply", "success", 1.0),
                  "{\"event\":\"updateComplete\",\"downloaded\":2,\"restartNeeded\":true}",
                  event_text::updating(false)}));
    EXPECT_EQ(fake::requests(), std::vector<WindowRequest>{WindowRequest::restart_prompt});
    // Finished only at the launcher's next start.
    EXPECT_EQ(local(self), "launcher v1");
    EXPECT_EQ(local(self + ".update"), "launcher v2");
}

TEST_F(UpdateCheck, OwnExecutableThatCannotBeStagedNeedsNoRestart) {
    const std::string self = build::launcher_exe_name;
    test::publish_release(release_.path(), 1, 0, 0, {{self, "launcher v2", "", true}});
    test::install_file(install_.path(), self + ".update/keep", "x");

    EXPECT_TRUE(updater::run_update_check_impl(false));
    const auto events = page();
    EXPECT_EQ(events[events.size() - 3], P("Updated to v1.0.0", "success", 1.0));
    EXPECT_TRUE(fake::requests().empty());
}

TEST_F(UpdateCheck, PendingGameReplacementIsFinishedFirst) {
    test::publish_release(release_.path(), 1, 0, 0, {{"Game_x64_win.exe", "game v2", "", true}});
    test::install_file(install_.path(), "Game_x64_win.exe", "game v1");
    test::install_file(install_.path(), "Game_x64_win.exe.update", "game v2");

    EXPECT_TRUE(updater::run_update_check_impl(false));
    EXPECT_EQ(local("Game_x64_win.exe"), "game v2");
    EXPECT_FALSE(exists("Game_x64_win.exe.update"));
    EXPECT_FALSE(exists("Game_x64_win.exe.old"));
    EXPECT_EQ(downloads(), 0);
}

TEST_F(UpdateCheck, SecondCheckWhileOneRunsLeavesWithoutAWord) {
    updater::update_in_progress.store(true);
    EXPECT_FALSE(updater::run_update_check_impl(false));
    EXPECT_TRUE(fake::events().empty());
    EXPECT_TRUE(updater::update_in_progress.load());
    EXPECT_EQ(server_.request_count.load(), 0);
}

TEST_F(UpdateCheck, ConcurrentChecksRunOneAtATime) {
    const std::string manifest = test::manifest_json(1, 0, 0, {});
    test::publish_release(release_.path(), manifest, {});
    server_.handle("GET", "/update.manifest.json",
                   [manifest](const httplib::Request&, httplib::Response& response) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(300));
                       response.set_content(manifest, "application/json");
                   });
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { succeeded += updater::run_update_check_impl(false) ? 1 : 0; });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(succeeded.load(), 1);
    int starts = 0;
    for (const auto& event : fake::events())
        starts += event == event_text::updating(true);
    EXPECT_EQ(starts, 1);
}

TEST(DownloadProgress, FractionWithinTheFilesShare) {
    const struct {
        std::uint64_t received, total;
        int k, n;
        double expected;
    } cases[] = {
        {0, 100, 0, 2, 0.0},   {50, 100, 1, 2, 0.75}, {0, 0, 1, 2, 0.5},
        {200, 100, 0, 2, 0.5}, {100, 100, 2, 3, 1.0}, {1ull << 40, 1ull << 41, 0, 1, 0.5},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(updater::download_fraction(c.received, c.total, c.k, c.n), c.expected)
            << c.received << "/" << c.total << " k=" << c.k << " n=" << c.n;
}

TEST(DownloadProgress, IdenticalTextsAreCoalesced) {
    fake::reset();
    updater::ProgressLog last;
    const updater::DownloadProgressContext context{"Downloading a (1/2)", 0, 2, &last};
    for (std::uint64_t received : {0, 0, 500, 500, 1000, 1000, 2000})
        EXPECT_TRUE(updater::download_progress(context, received, 1000));
    EXPECT_EQ(fake::events(), (std::vector<std::string>{P("Downloading a (1/2)", "working", 0.0),
                                                        P("Downloading a (1/2)", "working", 0.25),
                                                        P("Downloading a (1/2)", "working", 0.5)}));
}

// 100,000 entries flood the window's queue with "Checking" events far beyond what it takes;
// the page must still learn how the check ended.
TEST_F(UpdateCheck, FloodOfProgressNeverCostsTheFinalEvents) {
    std::string manifest = "{\"version\":{\"major\":9,\"minor\":9,\"patch\":9},\"files\":[";
    const std::string digest = test::sha256_hex("same");
    test::install_file(install_.path(), "same.txt", "same");
    const auto stat = updater::file_stat((install_.path() / "same.txt").string());
    ASSERT_TRUE(stat.ok);
    // Remembered as current, so the flood is not slowed down by hashing; links of one file
    // give every entry the same size and time cheaply.
    updater::VerifyCache cache;
    for (int i = 0; i < 30000; ++i) {
        const std::string path = "same" + std::to_string(i);
        std::error_code ec;
        fs::create_hard_link(install_.path() / "same.txt", install_.path() / path, ec);
        if (ec)
            test::install_file(install_.path(), path, "same");
        manifest += "{\"path\":\"" + path + "\",\"sha256\":\"" + digest + "\"},";
        updater::record_verify_cache(cache, path, stat.size, stat.mtime, digest);
    }
    manifest += "{\"path\":\"new.txt\",\"sha256\":\"" + test::sha256_hex("new") + "\"}]}";
    test::publish_release(release_.path(), manifest, {{"new.txt", "new"}});
    updater::save_verify_cache(cache);
    {
        auto guard = fake::lock();
        fake::state().queue_limit = 10000;
    }

    std::atomic<bool> done{false};
    std::thread window([&] {
        // The window takes events slower than the check produces them.
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            fake::drain(200);
        }
    });
    const bool result = updater::run_update_check_impl(false);
    done.store(true);
    window.join();

    EXPECT_TRUE(result);
    const auto events = fake::events();
    std::size_t refused = 0;
    {
        auto guard = fake::lock();
        refused = fake::state().refused_posts;
    }
    EXPECT_GT(refused, 0u);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 3], P("Updated to v9.9.9", "success", 1.0));
    EXPECT_EQ(events[events.size() - 2], event_text::update_complete(1, false));
    EXPECT_EQ(events.back(), event_text::updating(false));
    EXPECT_EQ(local("new.txt"), "new");
}

}  // namespace
}  // namespace km
