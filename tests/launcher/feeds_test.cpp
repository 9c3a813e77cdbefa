#include "launcher/feeds/feeds.h"
#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/commands.h"
#include "launcher/events.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "updater/update_check.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

TEST(BannerNames, TextScanOfTheBannersArray) {
    const struct {
        const char* name;
        std::string document;
        Names names;
    } cases[] = {
        {"two names", "{\"banners\":[\"top.png\",\"event.jpg\"]}", {"top.png", "event.jpg"}},
        {"blanks and other members",
         "{\"x\":[\"no\"], \"banners\" : [ \"a\" , \"b\" ],\"y\":\"z\"}",
         {"a", "b"}},
        {"empty array", "{\"banners\":[]}", {}},
        {"no key", "{\"images\":[\"a.png\"]}", {}},
        {"no bracket", "{\"banners\":\"a.png\"}", {}},
        {"unclosed array", "{\"banners\":[\"a.png\"", {}},
        {"objects count member names", "{\"banners\":[{\"file\":\"a.png\"}]}", {"file", "a.png"}},
        {"bracket inside a name ends early", "{\"banners\":[\"a]b.png\",\"c.png\"]}", {}},
        {"unpaired quote", "{\"banners\":[\"a.png\",\"b]}", {"a.png"}},
        {"escapes not decoded", "{\"banners\":[\"a\\\\b\"]}", {"a\\\\b"}},
        {"duplicates kept", "{\"banners\":[\"a\",\"a\"]}", {"a", "a"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scan_banner_names(c.document), c.names) << c.name;
}

TEST(BannerNames, OnlyPlainFileNamesAreUsed) {
    for (const std::string good : {"a.png", "top banner.jpg", "..png", "a..b", "\xC3\xA9.png"})
        EXPECT_TRUE(is_plain_file_name(good)) << good;
    for (const std::string& bad :
         {std::string(""), std::string("."), std::string(".."), std::string("../a.png"),
          std::string("..\\a.png"), std::string("sub/a.png"), std::string("/etc/passwd"),
          std::string("C:a.png"), std::string("a.png:stream"), std::string("a\0b", 3)})
        EXPECT_FALSE(is_plain_file_name(bad)) << bad;
}

TEST(FileUrl, LikeThePageAddress) {
    const struct {
        std::string path, url;
    } cases[] = {
        {"/home/p/cache/banners/top.png", "file:///home/p/cache/banners/top.png"},
        {"C:\\Games\\Launcher\\cache\\banners\\top.png",
         "file:///C:/Games/Launcher/cache/banners/top.png"},
        {"/home/p/My Games #2/a.png", "file:///home/p/My%20Games%20%232/a.png"},
        {"\\\\server\\share\\a.png", "file://server/share/a.png"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(file_url(c.path), c.url);
}

class Feeds : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        scope_ = std::make_unique<test::ScopedExeDir>(install_.str());
        server_.serve_file_tree(release_.path());
        launcher_config.host = server_.host();
        launcher_config.port = server_.port();
    }
    void TearDown() override { updater::update_in_progress.store(false); }

    std::string cached_url(const std::string& name) const {
        const std::string sep = build::path_separator;
        return file_url(exe_dir + sep + "cache" + sep + "banners" + sep + name);
    }
    int requests_for(const std::string& prefix) const {
        int n = 0;
        for (const auto& request : server_.requests())
            n += request.path.rfind(prefix, 0) == 0;
        return n;
    }

    test::TempDir install_;
    test::TempDir release_;
    std::unique_ptr<test::ScopedExeDir> scope_;
    test::TestServer server_;
};

TEST_F(Feeds, BannersListOnlyTheImagesThatArrived) {
    test::publish_banners(release_.path(), {"one.png", "two.png", "three.png"});
    fs::remove(release_.path() / "banners" / "two.png");

    fetch_banners();
    EXPECT_EQ(fake::events(), std::vector<std::string>{event_text::banners(
                                  {cached_url("one.png"), cached_url("three.png")})});
    EXPECT_EQ(install_.read("cache/banners/one.png"), "one.png image");
    EXPECT_EQ(install_.read("cache/banners/three.png"), "three.png image");

    // Every run downloads again and answers again.
    fetch_banners();
    EXPECT_EQ(fake::events().size(), 2u);
    EXPECT_EQ(requests_for("/banners/"), 6);
}

TEST_F(Feeds, NoBannersEventWithoutNamesOrImages) {
    const char* documents[] = {"{\"banners\":[]}", "{\"news\":[\"a.png\"]}", "not json at all"};
    for (const char* document : documents) {
        test::write_file(release_.path() / "banners.json", document);
        fetch_banners();
    }
    test::write_file(release_.path() / "banners.json", "{\"banners\":[\"missing.png\"]}");
    fetch_banners();
    fs::remove(release_.path() / "banners.json");
    fetch_banners();
    EXPECT_TRUE(fake::events().empty());
}

TEST_F(Feeds, RefusesBannerNamesThatLeaveTheCacheFolder) {
    test::publish_banners(release_.path(), {"ok.png"});
    test::write_file(
        release_.path() / "banners.json",
        "{\"banners\":[\"../../escape.png\",\"..\",\"sub/x.png\",\"..\\\\y.png\",\"C:z.png\","
        "\"ok.png\"]}");

    fetch_banners();
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{event_text::banners({cached_url("ok.png")})});
    EXPECT_EQ(requests_for("/banners/"), 1);
    EXPECT_FALSE(fs::exists(install_.path() / "escape.png"));
    std::vector<std::string> cached;
    for (const auto& entry : fs::directory_iterator(install_.path() / "cache" / "banners"))
        cached.push_back(entry.path().filename().string());
    EXPECT_EQ(cached, std::vector<std::string>{"ok.png"});
}

TEST_F(Feeds, ServerCannotDropProgramsOrHugeFilesIntoTheBannerCache) {
    test::publish_banners(release_.path(),
                          {"payload.exe", "x.js", "a.png.bat", "ok.PNG", "b.webp"});
    test::write_file(release_.path() / "banners" / "big.gif",
                     std::string(max_banner_image_size + 1, 'x'));
    test::write_file(release_.path() / "banners.json",
                     "{\"banners\":[\"payload.exe\",\"x.js\",\"a.png.bat\",\"big.gif\","
                     "\"ok.PNG\",\"b.webp\"]}");

    fetch_banners();
    EXPECT_EQ(fake::events(), std::vector<std::string>{event_text::banners(
                                  {cached_url("ok.PNG"), cached_url("b.webp")})});
    EXPECT_EQ(requests_for("/banners/"), 3);  // big.gif was tried and cut off
    std::vector<std::string> cached;
    for (const auto& entry : fs::directory_iterator(install_.path() / "cache" / "banners"))
        cached.push_back(entry.path().filename().string());
    std::sort(cached.begin(), cached.end());
    EXPECT_EQ(cached, (std::vector<std::string>{"b.webp", "ok.PNG"}));
}

TEST_F(Feeds, OverlappingBannerRunsNeverWriteTheSameFileAtOnce) {
    test::publish_banners(release_.path(), {"a.png", "b.png"});
    std::atomic<int> in_flight{0}, most{0};
    for (const char* name : {"/banners/a.png", "/banners/b.png"}) {
        server_.handle("GET", name, [&](const httplib::Request& request, httplib::Response& res) {
            const int now = ++in_flight;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            res.set_content("image of " + request.path, "image/png");
            --in_flight;
        });
    }
    std::thread first(fetch_banners), second(fetch_banners);
    first.join();
    second.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(fake::events().size(), 2u);
    EXPECT_EQ(install_.read("cache/banners/a.png"), "image of /banners/a.png");
}

TEST_F(Feeds, RealmStatusIsInsertedByteForByte) {
    const std::string document =
        "{ \"realms\" : [ {\"name\":\"Ash\\u00e9\", \"up\":true} ],\n\"n\":1 }";
    test::publish_realm_status(release_.path(), document);
    fetch_realm_status();
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{"{\"event\":\"realmStatus\",\"data\":" + document + "}"});
}

TEST_F(Feeds, RealmStatusFailuresSendNothing) {
    fetch_realm_status();  // 404
    // Bodies that are not exactly one JSON value; the first would add forged members to the
    // event around it.
    for (const std::string& body :
         {std::string("{\"realms\":[]},\"event\":\"progress\",\"status\":\"All files up to "
                      "date (v9.9.9)\",\"state\":\"success\",\"percent\":1"),
          std::string(""), std::string("{} {}"), std::string("{}\0garbage", 10),
          std::string("[1,2"), std::string("x{}")}) {
        test::publish_realm_status(release_.path(), body);
        fetch_realm_status();
    }
    server_.route("/realm_status.json", 500, "{\"a\":1}");
    fetch_realm_status();
    launcher_config.port = 1;  // nobody listens there
    fetch_realm_status();
    EXPECT_TRUE(fake::events().empty());
}

TEST_F(Feeds, SlowRealmServerHasOneFetchInFlight) {
    std::atomic<int> calls{0};
    server_.handle("GET", "/realm_status.json", [&](const httplib::Request&, httplib::Response& r) {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(4500));
        r.set_content("{\"slow\":true}", "application/json");
    });
    realm_poll_started.store(true);
    std::thread poller(poll_realm_status);
    std::this_thread::sleep_for(std::chrono::milliseconds(4200));
    EXPECT_EQ(calls.load(), 1);
    realm_poll_started.store(false);
    poller.join();
    for (int i = 0; i < 100 && realm_fetch_in_flight(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(realm_fetch_in_flight());
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{"{\"event\":\"realmStatus\",\"data\":{\"slow\":true}}"});
}

TEST_F(Feeds, RealmPollerFetchesEveryTwoSeconds) {
    test::publish_realm_status(release_.path(), "{\"a\":1}");
    realm_poll_started.store(true);
    std::thread poller(poll_realm_status);
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    realm_poll_started.store(false);
    poller.join();
    for (int i = 0; i < 100 && realm_fetch_in_flight(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(requests_for("/realm_status.json"), 3);
    EXPECT_EQ(fake::events().size(), 3u);
}

TEST_F(Feeds, ProbeOfflineRunsNoCheck) {
    probe_server();  // manifest 404
    EXPECT_EQ(fake::events(), std::vector<std::string>{event_text::server_status(false)});
    EXPECT_EQ(server_.request_count.load(), 1);
}

TEST_F(Feeds, ProbeOnlineRunsACheckUnlessOneIsRunning) {
    test::publish_release(release_.path(), 1, 0, 0, {});
    updater::update_in_progress.store(true);
    probe_server();
    EXPECT_EQ(fake::events(), std::vector<std::string>{event_text::server_status(true)});
    updater::update_in_progress.store(false);

    fake::reset();
    probe_server();
    const auto events = fake::events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], event_text::server_status(true));
    EXPECT_EQ(events[1], event_text::updating(true));
    EXPECT_EQ(events.back(), event_text::updating(false));
}

}  // namespace
}  // namespace km
