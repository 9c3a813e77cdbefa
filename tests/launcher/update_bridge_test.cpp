// The update check as the page receives it: through the launcher's own observer, into a window
// queue that may be full.
#include "launcher/common/update_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "launcher/common/events.h"
#include "tests/support/launcher/app_state_scope.h"

namespace km {
namespace {

class PageCheck : public ::testing::Test, protected test::ServedLauncher {};

// A flood of "Checking" events fills the window's queue far beyond what it takes; the page must
// still learn how the check ended.
TEST_F(PageCheck, FloodOfProgressNeverCostsTheFinalEvents) {
    std::vector<test::ReleaseFile> files = {{"new.txt", "new"}};
    for (int i = 0; i < 400; ++i) {
        files.push_back({"same" + std::to_string(i), "same"});
        test::install_file(install_.path(), files.back().path, "same");
    }
    test::publish_release(release_.path(), 9, 9, 9, files);
    fake::state().queue_limit = 50;

    std::atomic<bool> done{false};
    std::thread window([&] {
        // The window takes one event at a time, far slower than the check produces them: the
        // queue stays full up to the final events, which must wait for room.
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            fake::drain(1);
        }
    });
    EXPECT_TRUE(run_update_check_impl(false));
    done.store(true);
    window.join();
    EXPECT_GT(fake::state().refused_posts, 0u);
    const auto events = fake::events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
              (std::vector<std::string>{event_text::progress("Updated to v9.9.9", "success", 1.0),
                                        event_text::update_complete(1, false),
                                        event_text::updating(false)}));
    EXPECT_EQ(local("new.txt"), "new");
    // The download's first report frames the page's download line: it waits for room too.
    EXPECT_NE(std::ranges::find(events, event_text::transfer(0, 3, 0, false)), events.end());
}

}  // namespace
}  // namespace km
