// The read time-outs (30 s, longer than the library's 5 s) are held by the long fault tests.
#include "updater/transfers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;
using km::test::TestServer;

// A binary body (this seed holds NUL, CR, LF and 0xFF among 229 byte values) must pass unchanged.
const std::string all_bytes = km::test::noise(512, 0);

// A GET takes only a 200 and a JSON POST any 2xx; both hand back the body of what they took,
// and neither follows a redirect.
TEST(HttpGetAndPost, AnswerByStatusAndNeverFollowRedirects) {
    TestServer server;
    for (const auto& [status, body] :
         {std::pair{200, std::string()}, std::pair{200, all_bytes}, std::pair{201, all_bytes},
          std::pair{204, std::string()}, std::pair{206, all_bytes}, std::pair{299, all_bytes},
          std::pair{301, all_bytes}, std::pair{304, std::string()}, std::pair{404, all_bytes}}) {
        SCOPED_TRACE(status);
        server.route("/doc", status, body);
        std::string got = "untouched", error = "untouched", quiet = "untouched";
        EXPECT_EQ(http_get(server.host(), server.port(), "/doc", got, error), status == 200);
        EXPECT_EQ(http_get_quiet(server.host(), server.port(), "/doc", quiet), status == 200);
        EXPECT_EQ(got, status == 200 ? body : "untouched");
        EXPECT_EQ(quiet, got);
        EXPECT_EQ(error, status == 200 ? "untouched" : "HTTP " + std::to_string(status));
        std::string response = "untouched";
        int got_status = -1;
        EXPECT_EQ(http_post_json(server.host(), server.port(), "/doc", R"({"user":"a"})", response,
                                 got_status),
                  status >= 200 && status <= 299);
        EXPECT_EQ(got_status, status);
        EXPECT_EQ(response, body);
    }
    const auto request = server.requests().at(2);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, R"({"user":"a"})");
    ASSERT_EQ(request.headers.count("Content-Type"), 1u);
    EXPECT_EQ(request.headers.find("Content-Type")->second, "application/json");
    server.handle("GET", "/old", [](const httplib::Request&, httplib::Response& res) {
        res.status = 301;
        res.set_header("Location", "/doc");
    });
    std::string body, error;
    EXPECT_FALSE(http_get(server.host(), server.port(), "/old", body, error));
    EXPECT_EQ(error, "HTTP 301");
    EXPECT_EQ(server.request_count, 28);
}

// A body of the cap is taken whole; no server, a body cut short or one past the cap fails and
// leaves the caller's body as it was.
TEST(HttpGet, NoServerCutShortOrTooLongBodyFails) {
    TestServer server;
    server.route_stream("/cap", max_body_in_memory, false);
    std::string body, error;
    ASSERT_TRUE(http_get(server.host(), server.port(), "/cap", body, error)) << error;
    EXPECT_EQ(body, TestServer::stream_pattern(0, max_body_in_memory));

    server.route_truncated("/cut", std::string(1000, 'x'), 5000);
    server.route_stream("/endless", TestServer::endless);
    server.route_stream("/one-too-many", max_body_in_memory + 1, false);
    // The first port was bound by a server that is gone again: nothing listens there.
    for (const auto& [port, path, text] :
         {std::tuple{TestServer().port(), "/cut", "Could not establish connection"},
          std::tuple{server.port(), "/cut", "Failed to read connection"},
          std::tuple{server.port(), "/endless", "Connection handling canceled"},
          std::tuple{server.port(), "/one-too-many", "Connection handling canceled"}}) {
        SCOPED_TRACE(path);
        body = "untouched";
        EXPECT_FALSE(http_get(server.host(), port, path, body, error));
        EXPECT_EQ(error, text);
        EXPECT_FALSE(http_get_quiet(server.host(), port, path, body));
        EXPECT_EQ(body, "untouched");
    }
    std::string response = "untouched";
    int status = -1;
    EXPECT_FALSE(http_post_json(server.host(), server.port(), "/endless", "{}", response, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(response, "");
    // Six answers, each stopped at or near the cap (socket buffers aside).
    EXPECT_LT(server.streamed_bytes.load(), 6 * max_body_in_memory + (64u << 20));
}

class Download : public ::testing::Test {
  protected:
    bool download(const std::string& path, const std::string& dest,
                  const DownloadProgress& progress = {}) {
        return http_download_file(server.host().c_str(), server.port(), path.c_str(), dest,
                                  progress);
    }
    std::string at(const std::string& relative) const {
        return (dir.path() / fs::u8path(relative)).string();
    }
    TestServer server;
    km::test::TempDir dir;
};

TEST_F(Download, WritesBodyCreatingParentFoldersOrLeavesNoFileBehind) {
    server.route("/launcher_files/data/one.bin", 200, all_bytes);
    EXPECT_TRUE(download("/launcher_files/data/one.bin", at("updates/data/one.bin")));
    EXPECT_EQ(km::test::read_file(at("updates/data/one.bin")), all_bytes);
    server.route("/empty", 200, "");
    km::test::write_file(at("old.bin"), "previous content");
    EXPECT_TRUE(download("/empty", at("old.bin")));
    EXPECT_EQ(fs::file_size(at("old.bin")), 0u);  // throws, and fails, when it is gone

    server.route("/missing", 404, "<html>not here</html>", "text/html");
    server.route("/no-content", 204, "");
    server.route_truncated("/cut", std::string(3000, 'x'), 9000);
    for (const char* path : {"/missing", "/no-content", "/cut"}) {
        SCOPED_TRACE(path);
        km::test::write_file(at("file.bin"), "stale");
        EXPECT_FALSE(download(path, at("file.bin")));
        EXPECT_FALSE(fs::exists(at("file.bin")));
    }
    // A port where nothing listens any more.
    EXPECT_FALSE(http_download_file("127.0.0.1", TestServer().port(), "/x", at("refused.bin"), {}));
    EXPECT_FALSE(fs::exists(at("refused.bin")));
}

TEST_F(Download, DestinationThatIsAFolderSendsNoRequest) {
    fs::create_directories(at("updates/taken"));
    EXPECT_FALSE(download("/f", at("updates/taken")));
    EXPECT_TRUE(fs::is_directory(at("updates/taken")));
    // A parent that cannot be created (a file in the way) is a failure too, not an exception.
    km::test::write_file(at("blocker"), "file");
    EXPECT_FALSE(download("/f", at("blocker/sub/f.bin")));
    EXPECT_EQ(server.request_count, 0);

    // A destination without a folder is relative to the current folder.
    server.route("/plain", 200, "plain");
    const fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    const bool ok = download("/plain", "plain.bin");
    fs::current_path(saved);
    EXPECT_TRUE(ok);
    EXPECT_EQ(dir.read("plain.bin"), "plain");
}

TEST_F(Download, AbortingProgressStopsTheTransfer) {
    server.route_stream("/big", 256u << 20, false);
    int calls = 0;
    EXPECT_FALSE(
        download("/big", at("big.bin"), [&](std::size_t, std::size_t) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(fs::exists(at("big.bin")));
    EXPECT_LT(server.streamed_bytes.load(), std::uint64_t{128} << 20);
}

TEST_F(Download, LargeStreamArrivesIntactWithProgress) {
    constexpr std::uint64_t size = (48u << 20) + 12345;
    for (bool chunked : {true, false}) {
        SCOPED_TRACE(chunked);
        server.route_stream("/large", size, chunked);
        std::size_t last = 0, total_seen = 0;
        ASSERT_TRUE(
            download("/large", at("large.bin"), [&](std::size_t received, std::size_t total) {
                EXPECT_GE(received, last);
                last = received;
                total_seen = total;
                return true;
            }));
        // The library reports progress only for bodies with an announced length.
        EXPECT_EQ(last, chunked ? 0 : size);
        EXPECT_EQ(total_seen, chunked ? 0 : size);
        EXPECT_TRUE(km::test::read_file(at("large.bin")) == TestServer::stream_pattern(0, size));
    }
}

}  // namespace
}  // namespace km::updater
