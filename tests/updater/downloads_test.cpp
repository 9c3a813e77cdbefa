// What the player sees and steers of a check's downloads: the room they need on the disk, their
// bytes and speed, a speed limit and a pause.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <tuple>

#include "tests/support/served_install.h"
#include "updater/disk_space.h"
#include "updater/download_control.h"

namespace km {
namespace {

using namespace std::chrono_literals;
constexpr std::uint64_t MiB = 1 << 20;

class Downloads : public ::testing::Test, protected test::ServedInstall {
  protected:
    ~Downloads() override { updater::set_download_limit(0); }
    // Waits (at most 30 s) until the check has reported bytes arriving.
    bool bytes_flow() const {
        for (int i = 0; i < 3000; ++i, std::this_thread::sleep_for(10ms)) {
            const auto reports = recorded_.transfers();
            if (!reports.empty() && reports.back().done > 0)
                return true;
        }
        return false;
    }
    const std::string remote = "/launcher_files/data/big.bin";
};

TEST(DiskFullText, BothSizesInTheUnitOfTheLargerAsThePageWritesThem) {
    const std::tuple<std::uint64_t, std::uint64_t, const char*> cases[] = {
        {1288490189, 429496730, "1.2 GB needed, 0.4 GB free"},
        {1023, 5, "1023 B needed, 5 B free"},
        {1048535, 0, "1.0 MB needed, 0.0 MB free"},  // 1023.96 KB rounds into the next unit
        {10 * (MiB << 10) - 30 * MiB, 9 * (MiB << 10) + (MiB << 9), "10 GB needed, 9.5 GB free"},
        {MiB << 30, 0, "1024 TB needed, 0.0 TB free"}};
    for (const auto& [needed, free, text] : cases)
        EXPECT_EQ(updater::disk_full_text(needed, free),
                  std::string("Not enough disk space: ") + text + ".");
}

// The bytes a check will fetch leave out what is staged whole and the kept part of a partial
// file; short of them and the margin it ends before any download. When the free space cannot
// be read, it goes on.
TEST_F(Downloads, NotEnoughDiskSpaceEndsTheCheckBeforeAnyDownload) {
    const std::string a = test::noise(3 * MiB, 1), b = test::noise(2 * MiB, 2);
    test::publish_release(release_.path(), 1, 0, 0, {{"data/a.bin", a}, {"data/big.bin", b}});
    server_.route_truncated(remote, b.substr(0, MiB), b.size(), "\"b1\"");
    EXPECT_FALSE(check());
    ASSERT_EQ(local("updates/data/a.bin"), a);
    server_.route_resumable(remote, b, "\"b1\"");
    for (const std::uint64_t free : {MiB, 32 * MiB}) {
        recorded_.clear();
        const int requests = server_.request_count;
        target_.free_space = [free](const std::string&, std::uint64_t& out) {
            out = free;
            return true;
        };
        EXPECT_FALSE(check());
        const auto lines = recorded_.lines();
        EXPECT_EQ(lines[lines.size() - 2],
                  test::progress_line(updater::disk_full_text(33 * MiB, free), "error", 1.0));
        EXPECT_EQ(server_.request_count, requests + 2);  // the manifest and its signature
    }
    target_.free_space = [](const std::string&, std::uint64_t& out) {
        out = 0;
        return false;
    };
    EXPECT_TRUE(check());
    EXPECT_EQ(server_.streamed_bytes, MiB);
}

// Pausing ends the check after the block in hand, keeping what came; the next check goes on
// from there. With no check downloading, a pause does nothing.
TEST_F(Downloads, PauseKeepsWhatCameAndTheNextCheckGoesOn) {
    const std::string content = test::noise(6 * MiB, 4);
    test::publish_release(release_.path(), 1, 0, 0, {{"data/big.bin", content}});
    server_.route_resumable(remote, content, "\"v1\"");
    EXPECT_FALSE(updater::request_download_pause());
    updater::set_download_limit(MiB);  // still downloading when the pause comes
    auto paused = std::async(std::launch::async, [this] { return check(); });
    ASSERT_TRUE(bytes_flow());
    EXPECT_TRUE(updater::request_download_pause());
    EXPECT_FALSE(paused.get());
    updater::set_download_limit(0);
    const auto lines = recorded_.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{test::progress_line("Download paused.", "warning", 1.0),
                                        "updating false"}));
    auto reports = recorded_.transfers();
    EXPECT_TRUE(reports.back().paused);
    EXPECT_EQ(reports.front().total, content.size());
    const std::uint64_t kept = local("updates/data/big.bin").size();
    EXPECT_GT(kept, 0u);

    recorded_.clear();
    server_.streamed_bytes = 0;
    EXPECT_TRUE(check());
    EXPECT_TRUE(local("data/big.bin") == content);
    EXPECT_EQ(server_.streamed_bytes, content.size() - kept);
    reports = recorded_.transfers();
    EXPECT_EQ(reports.front().total, content.size() - kept);
    EXPECT_EQ(reports.back().done, content.size() - kept);
    EXPECT_FALSE(reports.back().paused);
}

// A token bucket over the limit: measured over 10 s within 10% of it; lifted, the same check
// runs at full speed from the next block on.
TEST_F(Downloads, LimitHoldsTheRateOverTenSecondsAndAppliesToARunningCheck) {
    const std::string content = test::noise(40 * MiB, 5);
    test::publish_release(release_.path(), 1, 0, 0, {{"data/big.bin", content}});
    server_.route_resumable(remote, content, "\"v1\"");
    updater::set_download_limit(2 * MiB);
    auto checked = std::async(std::launch::async, [this] { return check(); });
    ASSERT_TRUE(bytes_flow());
    const test::TransferReport first = recorded_.transfers().back();
    std::this_thread::sleep_for(10s);
    const test::TransferReport last = recorded_.transfers().back();
    updater::set_download_limit(0);
    const std::chrono::duration<double> span = last.at - first.at;
    const double rate = static_cast<double>(last.done - first.done) / span.count();
    std::printf("limit 2 MiB/s: %.0f bytes/s over %.2f s (%.2f%% off)\n", rate, span.count(),
                100 * (rate / (2 * MiB) - 1));
    EXPECT_NEAR(rate, 2.0 * MiB, 0.1 * 2 * MiB);
    EXPECT_EQ(checked.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(checked.get());
}

}  // namespace
}  // namespace km
