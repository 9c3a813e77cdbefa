// Nothing downloaded twice: a check whose connection drops at 90% of a first install leaves the
// files it verified in the staging folder, and the next check fetches only what is missing; a
// file cut short goes on from its last byte when the server's answer shows the rest is of the
// same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

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

class ResumeInsideAFile : public ::testing::Test, protected test::ServedInstall {
  protected:
    static constexpr std::size_t size = (3u << 20) + 5, cut = size / 10 * 9;
    const std::string content = test::noise(size, 3), remote = "/launcher_files/data/big.bin",
                      staged = "updates/data/big.bin";
};

// Only a 206 that continues the kept bytes of the file the note names is appended (the digest
// that of the whole file); a 200 starts over; any other answer fails. Without a usable note, or
// with a partial file longer than signed, the file starts over without a Range.
TEST_F(ResumeInsideAFile, TheNoteAndTheServersAnswerDecideWhatIsKept) {
    test::publish_release(release_.path(), 1, 0, 0, {{"data/big.bin", content}});
    server_.route_truncated(remote, content.substr(0, cut), size, "\"v1\"");
    EXPECT_FALSE(check());
    ASSERT_EQ(local(staged).size(), cut);
    const std::string note = local(staged + ".resume"), sha = test::sha256_hex(content);
    ASSERT_NE(note.find(sha + "\n\"v1\"\n"), std::string::npos);
    std::string other_file = note, injected = note;
    other_file.replace(note.find(sha), 64, std::string(64, '0'));
    injected.replace(note.find("\"v1\""), 4, "\"v1\"\r\nX-Injected: 1");
    const std::string rest = "bytes " + std::to_string(cut) + "-" + std::to_string(size - 1) + "/";
    const struct {
        // An empty etag: the answer below, whatever was asked.
        std::string note, partial, etag, content_range;
        int status;
        bool ok, ranged;
    } cases[] = {
        {note, content.substr(0, cut), "\"v1\"", "", 0, true, true},
        {note, content.substr(0, cut), "\"v2\"", "", 0, true, true},  // changed on the server
        {note, content.substr(0, cut), "", rest + "*", 206, true, true},
        {note, content.substr(0, cut), "", "bytes 0-" + std::to_string(size - 1) + "/*", 206, false,
         true},
        {note, content.substr(0, cut), "", rest + std::to_string(size + 1), 206, false, true},
        {note, content.substr(0, cut), "", "", 416, false, true},
        {"garbage\n", content.substr(0, cut), "\"v1\"", "", 0, true, false},
        {other_file, content.substr(0, cut), "\"v1\"", "", 0, true, false},
        {injected, content.substr(0, cut), "\"v1\"", "", 0, true, false},
        {note, content + "extra", "\"v1\"", "", 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::filesystem::remove_all(install_.path() / "updates");
        std::filesystem::remove(install_.path() / "data/big.bin");
        install_.write(staged, c.partial);
        install_.write(staged + ".resume", c.note);
        if (!c.etag.empty()) {
            server_.route_resumable(remote, content, c.etag);
        } else {
            server_.handle("GET", remote, [&](const httplib::Request& req, httplib::Response& res) {
                const_cast<httplib::Request&>(req).ranges.clear();  // our Content-Range, not its
                res.status = c.status;
                res.set_header("Content-Range", c.content_range);
                res.set_content(c.status == 206 ? content.substr(cut) : "", "text/plain");
            });
        }
        server_.streamed_bytes = 0;
        recorded_.clear();
        EXPECT_EQ(check(), c.ok);
        const auto asked = server_.requests().back().headers;
        EXPECT_EQ(asked.count("Range") + asked.count("If-Range"), c.ranged ? 2u : 0u);
        if (c.ranged) {
            EXPECT_EQ(asked.find("Range")->second + asked.find("If-Range")->second,
                      "bytes=" + std::to_string(cut) + "-\"v1\"");
        }
        EXPECT_TRUE(c.ok ? local("data/big.bin") == content : !exists(staged));
        if (c.etag == "\"v1\"") {
            EXPECT_EQ(server_.streamed_bytes, c.ranged ? size - cut : size);
        }
    }
}

}  // namespace
}  // namespace km
