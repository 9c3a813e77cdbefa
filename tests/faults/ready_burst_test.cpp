// A page that sends `ready` 200 times in a burst (a reload loop, a page bug): one realm poller,
// a bounded number of threads and bounded memory, no crash, and the page still hears the server
// status, the banners and the end of an update check.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "launcher/app_state.h"
#include "launcher/commands.h"
#include "launcher/events.h"
#include "launcher/feeds/feeds.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "updater/transfers.h"
#include "updater/update_check.h"

namespace km {
namespace {

using namespace std::chrono_literals;

int thread_count() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++n;
        closedir(dir);
    }
    return n;
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

int count(const std::vector<std::string>& events, const std::string& prefix) {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
}

TEST(ReadyBurst, TwoHundredReadyCommandsStayBounded) {
    fake::reset();
    test::TempDir release, install;
    test::ScopedExeDir scope(install.str());
    test::publish_release(release.path(), 1, 2, 3, {{"a.dat", std::string(10'000, 'a')}});
    test::publish_banners(release.path(), {"top.png", "event.jpg"});
    test::publish_realm_status(release.path(), "{\"realms\":[]}");

    test::TestServer server;
    server.serve_file_tree(release.path());
    // A server slow enough that the burst is over long before the first answers arrive.
    std::atomic<int> manifest_requests{0}, banner_requests{0};
    server.handle("GET", "/update.manifest.json",
                  [&](const httplib::Request&, httplib::Response& response) {
                      ++manifest_requests;
                      std::this_thread::sleep_for(300ms);
                      response.set_content(test::read_file(release.path() / "update.manifest.json"),
                                           "application/json");
                  });
    server.handle("GET", "/banners.json", [&](const httplib::Request&, httplib::Response& r) {
        ++banner_requests;
        std::this_thread::sleep_for(300ms);
        r.set_content(test::read_file(release.path() / "banners.json"), "application/json");
    });
    launcher_config.host = server.host();
    launcher_config.port = server.port();

    realm_poll_started.store(false);
    // The server starts its worker pool only after it reports that it runs; one answered request
    // makes sure those threads already exist when the baseline is counted.
    {
        std::string body, error;
        ASSERT_TRUE(
            updater::http_get(server.host(), server.port(), "/realm_status.json", body, error))
            << error;
    }
    const int threads_before = thread_count();
    const long rss_before = resident_kib();
    std::atomic<bool> sampling{true};
    std::atomic<int> most_threads{0};
    std::thread sampler([&] {
        while (sampling) {
            most_threads = std::max(most_threads.load(), thread_count());
            std::this_thread::sleep_for(1ms);
        }
    });

    for (int i = 0; i < 200; ++i)
        handle_page_command("{\"cmd\":\"ready\"}");

    // Everything the burst started settles: the last update check ends and banners arrive.
    ASSERT_TRUE(fake::wait_for(
        [](const fake::State& s) {
            return std::count(s.events.begin(), s.events.end(), event_text::updating(false)) >= 1 &&
                   std::any_of(s.events.begin(), s.events.end(), [](const std::string& e) {
                       return e.rfind("{\"event\":\"banners\"", 0) == 0;
                   });
        },
        30000));
    std::this_thread::sleep_for(2500ms);
    while (updater::update_in_progress.load())
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(1s);
    sampling = false;
    sampler.join();

    const auto events = fake::events();
    // Each ready is answered at once from the window's thread.
    EXPECT_GE(count(events, "{\"event\":\"version\""), 200);
    EXPECT_EQ(count(events, "{\"event\":\"settings\""), 200);
    EXPECT_GE(count(events, "{\"event\":\"serverStatus\",\"online\":true"), 1);
    EXPECT_EQ(count(events, "{\"event\":\"serverStatus\",\"online\":false"), 0);
    // One poller: about one realm fetch every two seconds, not one per ready.
    const auto requests = server.requests();
    const auto realm = std::count_if(requests.begin(), requests.end(),
                                     [](const auto& r) { return r.path == "/realm_status.json"; });
    EXPECT_GE(realm, 1);
    EXPECT_LE(realm, 4);
    // Overlapping probes and banner runs are folded together instead of piling up.
    EXPECT_LE(manifest_requests.load(), 4);  // two probes, each with its check
    EXPECT_LE(banner_requests.load(), 2);
    EXPECT_LE(most_threads.load() - threads_before, 12)
        << "threads before the burst: " << threads_before;
    EXPECT_LE(resident_kib() - rss_before, 64 * 1024);
    // What is left afterwards is the poller and at most a fetch or two; workers that are still
    // on their way out (slowly, under the sanitizers) get a few seconds to end.
    const auto settle = std::chrono::steady_clock::now() + 10s;
    while (thread_count() > threads_before + 4 && std::chrono::steady_clock::now() < settle)
        std::this_thread::sleep_for(50ms);
    EXPECT_LE(thread_count(), threads_before + 4);

    // Stop the poller so it does not outlive this test's server and folders.
    realm_poll_started.store(false);
    std::this_thread::sleep_for(2500ms);
    while (realm_fetch_in_flight())
        std::this_thread::sleep_for(10ms);
}

}  // namespace
}  // namespace km
