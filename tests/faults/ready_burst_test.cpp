// A page that sends `ready` 200 times in a burst (a reload loop, a page bug): one realm poller,
// a bounded number of threads, no crash, and the page still hears the server
// status, the banners and the end of an update check.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "launcher/commands.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/feeds/feeds.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/launcher/app_state_scope.h"
#include "tests/support/process.h"

namespace km {
namespace {

using namespace std::chrono_literals;

int thread_count() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

int count(const std::vector<std::string>& events, const std::string& prefix) {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
}

class ReadyBurst : public ::testing::Test, protected test::ServedLauncher {};

TEST_F(ReadyBurst, TwoHundredReadyCommandsStayBounded) {
    test::publish_release(release_.path(), 1, 2, 3, {{"a.dat", std::string(10'000, 'a')}});
    test::publish_banners(release_.path(), {"top.png", "event.jpg"});
    test::publish_realm_status(release_.path(), "{\"realms\":[]}");
    // A server slow enough that the burst is over long before the first answers arrive.
    for (const std::string path : {"/update.manifest.json", "/banners.json"})
        server_.handle("GET", path,
                       [&, path](const httplib::Request&, httplib::Response& response) {
                           std::this_thread::sleep_for(300ms);
                           response.set_content(release_.read(path.substr(1)), "text/plain");
                       });
    realm_poll_started.store(false);
    // The server's worker pool starts with its first answer: count the baseline after one.
    fetch_realm_status();
    const int threads_before = thread_count();
    for (int i = 0; i < 200; ++i)
        handle_page_command("{\"cmd\":\"ready\"}");
    // The slow server holds every worker the burst started: this is the most there will be.
    EXPECT_LE(thread_count() - threads_before, 12) << "threads before: " << threads_before;

    // Everything the burst started settles: the last update check ends and banners arrive.
    ASSERT_TRUE(fake::wait_for(
        [](const fake::State& s) {
            return count(s.events, event_text::updating(false)) >= 1 &&
                   count(s.events, "{\"event\":\"banners\"") >= 1;
        },
        30000));
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(test::eventually([] { return !updater::update_in_progress.load(); }, 30s, 10ms));
    const auto events = fake::events();
    EXPECT_GE(count(events, "{\"event\":\"serverStatus\",\"online\":true"), 1);
    EXPECT_EQ(count(events, "{\"event\":\"serverStatus\",\"online\":false"), 0);
    // One poller: about one realm fetch every two seconds, not one per ready.
    EXPECT_LE(requests_for("/realm_status.json"), 4);
    // Overlapping probes and banner runs are folded together instead of piling up: no more than
    // three probe runs, each fetching the manifest twice (its own request and its check's),
    // where one per ready would be four hundred.
    EXPECT_LE(requests_for("/update.manifest.json"), 6);
    EXPECT_LE(requests_for("/banners.json"), 2);

    // Stop the poller so it does not outlive this test's server and folders.
    realm_poll_started.store(false);
    std::this_thread::sleep_for(2500ms);
    EXPECT_TRUE(test::eventually([] { return !realm_fetch_in_flight(); }, 30s, 10ms));
}

}  // namespace
}  // namespace km
