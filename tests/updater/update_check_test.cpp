// The whole check against a release served from disk, including a hostile or broken server:
// manifests signed by someone else, signatures lifted from another manifest, documents far
// larger than any real one, and a realm document carrying page script.
#include "updater/update_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <tuple>

#include "km/build_config.h"
#include "tests/support/served_install.h"
#include "tests/support/test_signer.h"
#include "updater/sha256.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using test::ReleaseFile;
using Events = std::vector<std::string>;

std::string P(const std::string& status, const char* state, double fraction) {
    return test::progress_line(status, state, fraction);
}
std::string U(bool on) {
    return on ? "updating true" : "updating false";
}
std::string C(int downloaded, bool restart) {
    return "complete " + std::to_string(downloaded) + (restart ? " true" : " false");
}

const char* kInvalid = "Update blocked: manifest signature is INVALID (tampered or wrong key).";
const char* kMalformed = "Update blocked: missing or malformed manifest signature.";
const char* kInvalidManifest = "Invalid manifest from server.";

class UpdateCheck : public ::testing::Test, protected test::ServedInstall {
  protected:
    // The page's view without the per-chunk download progress, whose count depends on how the
    // transfer was chunked: a "Downloading" event repeating the status before it goes.
    Events page() const {
        Events kept;
        std::string previous;
        for (const std::string& line : recorded_.lines()) {
            const std::string status = line.substr(0, line.rfind(" ["));
            if (status != previous || status.rfind("Downloading ", 0) != 0)
                kept.push_back(line);
            previous = status;
        }
        return kept;
    }
    Events tail(std::size_t n) const {
        const Events events = page();
        return {events.end() - static_cast<std::ptrdiff_t>(std::min(n, events.size())),
                events.end()};
    }
    // The events of a check that reached the server, `rest` and then `end` after them.
    static Events opening(Events rest, const Events& end = {}) {
        Events events = {U(true), P("Checking for updates...", "working", 0.0), "server true"};
        events.insert(events.end(), rest.begin(), rest.end());
        events.insert(events.end(), end.begin(), end.end());
        return events;
    }
    // How a check that got as far as installing (or finding nothing to install) ends.
    static Events finished(const std::string& status, int downloaded) {
        return {P(status, "success", 1.0), C(downloaded, false), U(false)};
    }
    // What the check asked of the window after it ended.
    Events requests() const {
        Events asked;
        for (const std::string& line : recorded_.lines())
            if (line == "reload" || line == "restart")
                asked.push_back(line);
        return asked;
    }
    // Refused before a byte is written: no download, the installation and cache untouched.
    void expect_refused_with(const std::string& text) {
        EXPECT_FALSE(check());
        EXPECT_EQ(recorded_.lines(), opening({P(text, "error", 1.0), U(false)}));
        EXPECT_EQ(requests_for("/launcher_files/"), 0);
        EXPECT_EQ(local("a.txt"), "installed");
        EXPECT_FALSE(exists("launcher_verify_cache.txt"));
    }
};
using HostileServer = UpdateCheck;

// The next check finds a fresh installation current (and clears a staging folder left by a killed
// check); a repair then downloads every entry of this platform without looking at the files, and
// leaves the verify cache of the ordinary check as it was.
TEST_F(UpdateCheck, FreshInstallThenUpToDateThenRepairDownloadsEverything) {
    const std::string map(100000, 'm');
    test::publish_release(release_.path(), 2, 0, 1,
                          {{"Game_x64_win.exe", "game v2", "", true},
                           {"linux/only.so", "elf", "linux"},
                           {"data/maps/arena.map", map}});
    const Events checking = {"version 2.0.1",
                             P("Checking Game_x64_win.exe (1/3)", "working", 1.0 / 3),
                             P("Checking data/maps/arena.map (3/3)", "working", 1.0)};
    Events downloading = {P("Downloading Game_x64_win.exe (1/2)", "working", 0.0),
                          P("Downloading data/maps/arena.map (2/2)", "working", 0.5),
                          P("Applying update...", "working", 1.0)};
    const Events updated = finished("Updated to v2.0.1", 2);
    downloading.insert(downloading.end(), updated.begin(), updated.end());

    EXPECT_TRUE(check());
    EXPECT_EQ(page(), opening(checking, downloading));
    EXPECT_EQ(local("data/maps/arena.map"), map);
    // The game client is an executable: staged beside itself and finished at the end.
    EXPECT_EQ(local("Game_x64_win.exe"), "game v2");
    EXPECT_FALSE(exists("updates"));

    test::install_file(install_.path(), "updates/data/maps/arena.map", map);
    recorded_.clear();
    EXPECT_TRUE(check());
    EXPECT_EQ(recorded_.lines(), opening(checking, finished("All files up to date (v2.0.1)", 0)));
    EXPECT_FALSE(exists("updates"));
    EXPECT_TRUE(requests().empty());

    const std::string cache_before = local("launcher_verify_cache.txt");
    ASSERT_FALSE(cache_before.empty());
    test::install_file(install_.path(), "data/maps/arena.map", "damaged");
    recorded_.clear();
    EXPECT_TRUE(check(true));
    EXPECT_EQ(page(), opening({checking[0]}, downloading));
    EXPECT_EQ(local("data/maps/arena.map"), map);
    EXPECT_EQ(local("launcher_verify_cache.txt"), cache_before);
}

// No server, no manifest, or one that never ends (cut off at the cap on bodies in memory).
TEST_F(UpdateCheck, OfflineMissingOrEndlessManifestEndsOffline) {
    const int closed_port = [] { return test::TestServer().port(); }();
    server_.route_stream("/endless.json", test::TestServer::endless);
    for (const auto& [port, manifest, text] :
         {std::tuple{closed_port, "/update.manifest.json",
                     "Offline: Could not establish connection"},
          std::tuple{server_.port(), "/update.manifest.json", "Offline: HTTP 404"},
          std::tuple{server_.port(), "/endless.json", "Offline: Connection handling canceled"}}) {
        recorded_.clear();
        target_.port = port;
        target_.manifest = manifest;
        EXPECT_FALSE(check());
        EXPECT_EQ(recorded_.lines(), (Events{U(true), P("Checking for updates...", "working", 0.0),
                                             P(text, "error", 1.0), "server false", U(false)}));
    }
}

// Each forgery fits some manifest, just not the one served: changed bytes, a key that is not
// ours, our own signature of another document. The rest are not a signature at all.
TEST_F(HostileServer, ForgedMissingOrMalformedSignaturesAreRefused) {
    test::install_file(install_.path(), "a.txt", "installed");
    const std::string manifest =
        test::publish_release(release_.path(), 9, 0, 0, {{"a.txt", "attacker's"}});
    const std::string good = test::dev_signature(manifest);
    // RFC 8032 section 7.1, TEST 2: a well-formed key pair, just not ours.
    const std::string other =
        test::from_hex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
    const auto by_other = test::ed25519_sign(reinterpret_cast<const std::uint8_t*>(other.data()),
                                             manifest.data(), manifest.size());
    const struct {
        std::string served, signature;
        const char* text;
    } cases[] = {
        {manifest + "\n", good, kInvalid},
        {manifest, std::string(reinterpret_cast<const char*>(by_other.data()), 64), kInvalid},
        {manifest, test::dev_signature(test::manifest_json(1, 0, 0, {{"a.txt", "installed"}})),
         kInvalid},
        {manifest, "", kMalformed},  // no signature file at all
        {manifest, good.substr(0, 63), kMalformed},
        {manifest, good + "x", kMalformed},
        {manifest, updater::to_hex(reinterpret_cast<const std::uint8_t*>(good.data()), 64),
         kMalformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        recorded_.clear();
        test::write_file(release_.path() / "update.manifest.json", c.served);
        test::write_file(release_.path() / "update.manifest.json.sig", c.signature);
        if (c.signature.empty())
            fs::remove(release_.path() / "update.manifest.json.sig");
        expect_refused_with(c.text);
    }
    recorded_.clear();
    server_.route_stream("/update.manifest.json.sig", test::TestServer::endless);
    expect_refused_with(kMalformed);
}

// An older release keeps its valid signature for ever. Replayed by a server, a stale mirror or
// anyone on the path after a newer one was installed, it is refused before anything is compared
// or downloaded; versions compare as numbers, the same release is accepted again, a failed check
// raises nothing, and each manifest path (live, beta) keeps its own floor.
TEST_F(HostileServer, ReplayedOlderSignedManifestIsRefused) {
    using V = std::tuple<int, int, int>;
    const struct {
        V installed, offered;
        bool refused;
    } cases[] = {{{2, 0, 0}, {1, 9, 9}, true},  {{2, 10, 0}, {2, 9, 0}, true},
                 {{1, 2, 10}, {1, 2, 9}, true}, {{1, 2, 3}, {1, 2, 3}, false},
                 {{1, 2, 3}, {1, 3, 0}, false}, {{9, 0, 0}, {10, 0, 0}, false}};
    const auto publish = [this](const V& v, const std::string& content) {
        const auto [major, minor, patch] = v;
        return test::publish_release(release_.path(), major, minor, patch, {{"a.txt", content}});
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        fs::remove(install_.path() / "launcher_version_floor.txt");
        publish(c.installed, "installed");
        ASSERT_TRUE(check());
        publish(c.offered, "offered");
        const int fetched = requests_for("/launcher_files/");
        EXPECT_EQ(check(), !c.refused);
        EXPECT_EQ(local("a.txt"), c.refused ? "installed" : "offered");
        EXPECT_EQ(requests_for("/launcher_files/") == fetched, c.refused);
    }
    recorded_.clear();
    publish({9, 9, 9}, "offered");
    EXPECT_FALSE(check());
    EXPECT_EQ(recorded_.lines(), opening({P("Update blocked: the server offered v9.9.9, older "
                                            "than the installed v10.0.0.",
                                            "error", 1.0),
                                          U(false)}));
    // Installed: 10.0.0. A newer release whose download fails leaves the floor where it was.
    publish({11, 0, 0}, "eleven");
    server_.route("/launcher_files/a.txt", 500, "boom");
    EXPECT_FALSE(check());
    publish({10, 0, 1}, "offered");
    EXPECT_TRUE(check());
    const std::string older = publish({1, 0, 0}, "offered");
    release_.write("beta/update.manifest.json", older);
    release_.write("beta/update.manifest.json.sig", test::dev_signature(older));
    target_.manifest = "/beta/update.manifest.json";
    EXPECT_TRUE(check());
    target_.manifest = "/update.manifest.json";
    EXPECT_FALSE(check());
}

// Signed bytes that do not read as a manifest, or with an entry that would leave the installation
// folder or never settle, are refused before anything is written.
TEST_F(UpdateCheck, InvalidManifestOrEntryThatLeavesInstallFolderIsRefused) {
    test::install_file(install_.path(), "a.txt", "installed");
    // What else fails to read as a manifest is held to the document tree's reading on its own.
    std::vector<std::string> bodies = {"", "not json",
                                       "{\"files\":[{\"path\":\"a\",\"size\":\"1\"}]}"};
    // One byte past the largest file a manifest may list (64 GiB), on any platform.
    for (const char* platform : {"", "linux"})
        bodies.push_back("{\"files\":[{\"path\":\"good.txt\",\"sha256\":\"" +
                         test::sha256_hex("fine") + "\",\"platform\":\"" + platform +
                         "\",\"size\":68719476737}]}");
    // Every other unsafe path is in the table of is_safe_entry_path's own test.
    std::vector<std::string> refused = {"../km_outside_victim.txt", "a\\..\\..\\x",
                                        // Entries that never settle: one file twice, or staged.
                                        "good.txt", "GOOD.txt", "updates/x", "Updates",
                                        // The launcher's lock file, held while it runs.
                                        "Launcher.Lock",
                                        // The launcher's own version floor and its copy.
                                        "Launcher_Version_Floor.TXT",
                                        "launcher_version_floor.txt.tmp"};
    if (build::windows_path_rules)
        refused.insert(refused.end(), {"CON", "maps/aux.map", "dir./x", "GAME~1.EXE"});
    for (const std::string& bad : refused)
        bodies.push_back(test::manifest_json(1, 0, 0, {{"good.txt", "fine"}, {bad, "payload"}}));
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        recorded_.clear();
        // Published under a safe name: the server side never sees a bad path as a file.
        test::publish_release(release_.path(), body, {{"good.txt", "fine"}});
        expect_refused_with(kInvalidManifest);
    }
}

// A second file that fails to arrive, arrives changed or arrives longer than its signed size
// (cut off at once, so a hostile server fills no more) installs nothing; the first stays staged.
TEST_F(UpdateCheck, FailedOrMismatchedDownloadInstallsNothing) {
    test::publish_release(release_.path(), 1, 0, 0,
                          {{"a.txt", "alpha"}, {"b.txt", "beta"}, {"c.txt", "c"}});
    const char* broken = "Download failed. Check your connection.";
    // An empty body stands for an answer of HTTP 500.
    for (const auto& [served, failure] :
         {std::pair{std::string("betA"), "File verification failed."},
          std::pair{std::string(4 << 20, 'x'), broken}, std::pair{std::string(), broken}}) {
        SCOPED_TRACE(served.size());
        recorded_.clear();
        if (served.empty())
            server_.route("/launcher_files/b.txt", 500, "boom");
        else
            test::write_file(release_.path() / "launcher_files" / "b.txt", served);
        EXPECT_FALSE(check());
        EXPECT_EQ(tail(4), (Events{P("Downloading a.txt (1/3)", "working", 0.0),
                                   P("Downloading b.txt (2/3)", "working", 1.0 / 3),
                                   P(failure, "error", 1.0), U(false)}));
        EXPECT_FALSE(exists("a.txt"));
        EXPECT_FALSE(exists("updates/b.txt"));
        EXPECT_EQ(local("updates/a.txt"), "alpha");
        EXPECT_TRUE(exists("launcher_verify_cache.txt"));
    }
}

// Non-empty folders where a file and the launcher's pending copy should go: every attempt fails,
// and a launcher that could not be staged needs no restart. Nor do files that merely look like
// the page's folder ask for a reload.
TEST_F(UpdateCheck, UninstallableFilesAreReportedAsInUse) {
    const std::string self = build::launcher_exe_name;
    test::publish_release(
        release_.path(), 3, 1, 4,
        {{"Web/x", "alpha"}, {"busy.dat", "new"}, {self, "v3", "", true}, {"webfiles/x", "y"}});
    test::install_file(install_.path(), "busy.dat/keep", "x");
    test::install_file(install_.path(), self + ".update/keep", "x");
    EXPECT_TRUE(check());
    EXPECT_EQ(tail(4)[0], P("2 file(s) were in use and will finish updating on next launch "
                            "(e.g. busy.dat).",
                            "warning", 1.0));
    EXPECT_EQ(tail(3), finished("Updated to v3.1.4", 4));
    EXPECT_EQ(local("Web/x"), "alpha");
    EXPECT_TRUE(requests().empty());
}

TEST_F(UpdateCheck, PageFilesChangedAskForAReload) {
    test::publish_release(release_.path(), 1, 0, 0, {{"web/index.html", "<p>new</p>"}});
    EXPECT_TRUE(check());
    EXPECT_EQ(requests(), Events{"reload"});
}

TEST_F(UpdateCheck, OwnExecutableAsksForARestartAndNoReload) {
    const std::string self = build::launcher_exe_name;
    test::publish_release(release_.path(), 1, 4, 0,
                          {{self, "launcher v2", "", true}, {"web/index.html", "<p>new</p>"}});
    test::install_file(install_.path(), self, "launcher v1");
    EXPECT_TRUE(check());
    EXPECT_EQ(tail(4),
              (Events{P("Updated to v1.4.0 \xE2\x80\x94 restart launcher to apply", "success", 1.0),
                      C(2, true), U(false), "restart"}));
    EXPECT_EQ(requests(), Events{"restart"});
    // Finished only at the launcher's next start.
    EXPECT_EQ(local(self), "launcher v1");
    EXPECT_EQ(local(self + ".update"), "launcher v2");
}

TEST_F(UpdateCheck, ConcurrentChecksRunOneAtATime) {
    const std::string manifest = test::publish_release(release_.path(), 1, 0, 0, {});
    server_.handle("GET", "/update.manifest.json",
                   [manifest](const httplib::Request&, httplib::Response& response) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(300));
                       response.set_content(manifest, "application/json");
                   });
    std::vector<std::future<bool>> checks;
    checks.reserve(4);
    for (int i = 0; i < 4; ++i)
        checks.push_back(std::async(std::launch::async, [this] { return check(); }));
    EXPECT_EQ(std::ranges::count_if(checks, [](auto& c) { return c.get(); }), 1);
    EXPECT_EQ(std::ranges::count(recorded_.lines(), U(true)), 1);
}

}  // namespace
}  // namespace km
