#include "launcher/webview_host.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class PageDelivery : public ::testing::Test {
  protected:
    void TearDown() override { km::set_page_sink(nullptr); }
};

TEST_F(PageDelivery, EventsBeforeTheViewExistsAreDroppedNotQueued) {
    km::deliver_ui_event(R"({"event":"version","value":"1"})");
    EXPECT_FALSE(km::page_view_exists());

    std::vector<std::string> seen;
    km::set_page_sink([&](const std::string& json) { seen.push_back(json); });
    EXPECT_TRUE(km::page_view_exists());
    EXPECT_TRUE(seen.empty());

    km::deliver_ui_event(km::restart_prompt_event);
    km::deliver_ui_event(R"({"event":"updating","isUpdating":true})");
    EXPECT_EQ(seen, (std::vector<std::string>{R"({"event":"restartPrompt"})",
                                              R"({"event":"updating","isUpdating":true})"}));
}

TEST_F(PageDelivery, HoldsTheMutexWhileTheSinkRuns) {
    bool held = false;
    // Asked from another thread: try_lock by the owner itself would be undefined.
    km::set_page_sink([&](const std::string&) {
        std::thread([&] {
            held = !km::webview_mutex.try_lock();
            if (!held)
                km::webview_mutex.unlock();
        }).join();
    });
    km::deliver_ui_event("{}");
    EXPECT_TRUE(held);
    EXPECT_TRUE(km::webview_mutex.try_lock());
    km::webview_mutex.unlock();
}

}  // namespace
