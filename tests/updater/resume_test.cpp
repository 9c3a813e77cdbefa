// Nothing downloaded twice: a check whose connection drops at 90% of a first install leaves the
// files it verified in the staging folder, and the next check fetches only what is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "launcher/events.h"
#include "tests/support/served_install.h"

namespace km {
namespace {

class ResumeStagedFiles : public ::testing::Test, protected test::ServedInstall {};

TEST_F(ResumeStagedFiles, DropAtNinetyPercentCostsTheNextCheckTenPercent) {
    std::vector<test::ReleaseFile> files;
    files.reserve(10);
    for (int i = 0; i < 10; ++i)
        files.push_back({"data/f" + std::to_string(i), std::string(100000, char('a' + i))});
    test::publish_release(release_.path(), 1, 0, 0, files);
    std::atomic<std::size_t> sent{0};
    const auto serve_counting = [&](const test::ReleaseFile& file, std::size_t drop_at) {
        server_.handle("GET", "/launcher_files/" + file.path,
                       [&sent, file, drop_at](const httplib::Request&, httplib::Response& res) {
                           res.set_content_provider(
                               file.content.size(), "application/octet-stream",
                               [&sent, file, drop_at](std::size_t at, std::size_t length,
                                                      httplib::DataSink& sink) {
                                   length = std::min(length, drop_at - std::min(drop_at, at));
                                   sent += length;
                                   return length > 0 &&
                                          sink.write(file.content.data() + at, length);
                               });
                       });
    };
    for (const auto& file : files)
        serve_counting(file, file.path == "data/f9" ? 50000 : std::string::npos);
    EXPECT_FALSE(updater::run_update_check_impl(false));
    EXPECT_EQ(sent.load(), 950000u);

    sent = 0;
    install_.write("updates/data/f3", "planted");  // trusted only through the signed digest
    for (const auto& file : files)
        serve_counting(file, std::string::npos);
    fake::reset();
    EXPECT_TRUE(updater::run_update_check_impl(false));
    EXPECT_EQ(sent.load(), 200000u);  // f9 and the replaced f3 alone
    for (const auto& file : files)
        EXPECT_EQ(local(file.path), file.content) << file.path;
    EXPECT_FALSE(exists("updates"));
    // Each reused file tells the page what a finished download would have told it.
    const std::vector<std::string> events = fake::events();
    for (int k : {0, 1, 2, 4, 5, 6, 7, 8}) {
        const std::string text =
            "Downloading data/f" + std::to_string(k) + " (" + std::to_string(k + 1) + "/10)";
        const auto at = std::find(events.begin(), events.end(),
                                  event_text::progress(text.c_str(), "working", k / 10.0));
        ASSERT_NE(at, events.end()) << text;
        EXPECT_EQ(at[1], event_text::progress(text.c_str(), "working", (k + 1) / 10.0)) << text;
    }
}

}  // namespace
}  // namespace km
