// The launcher's log: what a line shows, how the files turn over, and that a log that cannot be
// written is silent and never written through a link.
#include "launcher/common/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/temp_dir.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(LogText, TheUsersFolderNeverShowsAndTimesAreUtcWithMilliseconds) {
    const struct {
        std::string line, home;
        bool windows;
        std::string expected;
    } cases[] = {
        {"folder=\"/home/ana/km\" x=/home/ana", "/home/ana/", false, "folder=\"~/km\" x=~"},
        {"/home/ana2 /mnt/home/ana/x /home/Ana", "/home/ana", false,
         "/home/ana2 /mnt/home/ana/x /home/Ana"},
        {"a=\"c:/users/ANA/G\" b=C:\\Users\\ana", "C:\\Users\\ana", true,
         "a=\"c:/users/%USERNAME%/G\" b=C:\\Users\\%USERNAME%"},
        {"C:\\Users\\ana", "C:\\", true, "C:\\Users\\ana"},  // no folder of its own
        {"/x", "", false, "/x"}};
    for (const auto& c : cases)
        EXPECT_EQ(without_home(c.line, c.home, c.windows), c.expected) << c.line;
    using namespace std::chrono;
    EXPECT_EQ(log_time(sys_days{2026y / December / 8} + 18h + 57min + 37s + 123ms),
              "2026-12-08T18:57:37.123Z");
}

class LogFile : public ::testing::Test {
  protected:
    void TearDown() override { log_open("", ""); }
    std::vector<std::string> lines(const std::string& name) const {
        std::vector<std::string> out;
        std::string text = dir.read("cache/" + name);
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
             at = end + 1)
            out.push_back(text.substr(at, end - at - (end > at && text[end - 1] == '\r')));
        return out;
    }
    test::TempDir dir;
};

TEST_F(LogFile, RotatesAtOneMebibyteKeepingExactlyTwoFiles) {
    log_open(dir.str(), "");
    log_event("test", "first\n\"line\"");
    ASSERT_TRUE(log_flush(10s));
    ASSERT_EQ(lines("launcher.log").size(), 1u);
    const std::string first = lines("launcher.log")[0];
    EXPECT_EQ(first.substr(0, 2), "20");
    EXPECT_EQ(first.substr(23), "Z test first\\x0A\"line\"");

    const std::string filler(1000, 'f');
    for (int i = 0; i < 2600; ++i) {  // 2.6 MB: two turns
        log_event("test", std::to_string(i) + " " + filler);
        if (i % 500 == 0) {
            ASSERT_TRUE(log_flush(10s));
        }
    }
    ASSERT_TRUE(log_flush(10s));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path() / "cache")) {
        names.push_back(entry.path().filename().string());
        EXPECT_LE(entry.file_size(), log_rotate_size);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"launcher.log", "launcher.log.1"}));
    EXPECT_NE(lines("launcher.log.1").front(), first);
    const std::vector<std::string> tail = log_tail(200);
    ASSERT_EQ(tail.size(), 200u);
    EXPECT_EQ(tail.back(), lines("launcher.log").back());
    EXPECT_EQ(tail.back().substr(25), "test 2599 " + filler);
}

TEST_F(LogFile, UnwritableOrLinkedLogIsSilentAndNeverWrittenThrough) {
    const struct {
        const char* name;
        const char* link;  // made a link to a file outside, or nullptr
    } cases[] = {{"cache is a file", nullptr},
                 {"cache is a link", "cache"},
                 {"the log is a link", "cache/launcher.log"},
                 {"the previous log is a link", "cache/launcher.log.1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir install, outside;
        const fs::path target = outside.write("target", "theirs");
        std::error_code ec;
        if (!c.link) {
            install.write("cache", "not a folder");
        } else {
            fs::create_directories((install.path() / c.link).parent_path());
            fs::create_symlink(std::string(c.link) == "cache" ? outside.path() : target,
                               install.path() / c.link, ec);
            if (ec)
                continue;  // no links on this file system
        }
        log_open(install.str(), "");
        log_event("test", "a line");
        EXPECT_TRUE(log_flush(5s));
        EXPECT_EQ(test::read_file(target), "theirs");
        EXPECT_EQ(std::distance(fs::directory_iterator(outside.path()), fs::directory_iterator()),
                  1);
        if (c.link) {
            EXPECT_TRUE(fs::is_symlink(install.path() / c.link));
        }
        // What could not be written is still there to be copied for support.
        ASSERT_EQ(log_tail(200).size(), 1u);
        EXPECT_EQ(log_tail(200)[0].substr(25), "test a line");
    }
}

}  // namespace
}  // namespace km
