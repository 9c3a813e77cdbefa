// Nothing downloaded twice: a check whose connection drops at 90% of a first install leaves the
// files it verified in the staging folder, and the next check fetches only what is missing.
#include <gtest/gtest.h>

#include <algorithm>

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
    const std::string f9 = "/launcher_files/data/f9";
    server_.route_truncated(f9, files[9].content.substr(0, 50000), 100000);
    EXPECT_FALSE(check());

    install_.write("updates/data/f3", "planted");  // trusted only through the signed digest
    server_.route(f9, 200, files[9].content);
    recorded_.clear();
    EXPECT_TRUE(check());
    // Fetched again: f9 and the replaced f3 alone.
    for (const auto& file : files) {
        EXPECT_EQ(local(file.path), file.content) << file.path;
        const bool again = file.path == "data/f3" || file.path == "data/f9";
        EXPECT_EQ(requests_for("/launcher_files/" + file.path), again ? 2 : 1) << file.path;
    }
    EXPECT_FALSE(exists("updates"));
    // Each reused file tells the page what a finished download would have told it.
    const std::vector<std::string> events = recorded_.lines();
    for (int k : {0, 1, 2, 4, 5, 6, 7, 8}) {
        const std::string text =
            "Downloading data/f" + std::to_string(k) + " (" + std::to_string(k + 1) + "/10)";
        const auto at =
            std::find(events.begin(), events.end(), test::progress_line(text, "working", k / 10.0));
        ASSERT_NE(at, events.end()) << text;
        EXPECT_EQ(at[1], test::progress_line(text, "working", (k + 1) / 10.0)) << text;
    }
}

}  // namespace
}  // namespace km
