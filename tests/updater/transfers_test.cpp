#include "updater/transfers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;
using km::test::TempDir;
using km::test::TestServer;

// A port on loopback where nothing listens: bound once by a server that is gone again.
int closed_port() {
    TestServer gone;
    return gone.port();
}

std::string all_bytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    return s + s;
}

TEST(HttpGet, AnswersByStatus) {
    struct Case {
        int status;
        std::string body;
        bool ok;
        std::string error;
    };
    const std::vector<Case> cases = {
        {200, "hello", true, ""},         {200, "", true, ""},
        {200, all_bytes(), true, ""},     {204, "", false, "HTTP 204"},
        {206, "part", false, "HTTP 206"}, {301, "moved", false, "HTTP 301"},
        {304, "", false, "HTTP 304"},     {401, "who?", false, "HTTP 401"},
        {404, "", false, "HTTP 404"},     {500, "oops", false, "HTTP 500"},
    };
    TestServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        server.route("/doc", c.status, c.body);
        std::string body = "untouched";
        std::string error = "untouched";
        EXPECT_EQ(http_get(server.host(), server.port(), "/doc", body, error), c.ok);
        EXPECT_EQ(body, c.ok ? c.body : "untouched");
        EXPECT_EQ(error, c.ok ? "untouched" : c.error);

        std::string quiet = "untouched";
        EXPECT_EQ(http_get_quiet(server.host(), server.port(), "/doc", quiet), c.ok);
        EXPECT_EQ(quiet, c.ok ? c.body : "untouched");
    }
}

TEST(HttpGet, RedirectIsNotFollowed) {
    TestServer server;
    server.route("/target", 200, "target");
    server.handle("GET", "/old", [](const httplib::Request&, httplib::Response& res) {
        res.status = 301;
        res.set_header("Location", "/target");
    });
    std::string body, error;
    EXPECT_FALSE(http_get(server.host(), server.port(), "/old", body, error));
    EXPECT_EQ(error, "HTTP 301");
    EXPECT_EQ(server.request_count, 1);
}

TEST(HttpGet, NoServerGivesLibraryText) {
    const int port = closed_port();
    std::string body = "untouched", error;
    EXPECT_FALSE(http_get("127.0.0.1", port, "/x", body, error));
    EXPECT_EQ(error, "Could not establish connection");
    EXPECT_EQ(body, "untouched");
    EXPECT_FALSE(http_get_quiet("127.0.0.1", port, "/x", body));
    EXPECT_EQ(body, "untouched");
}

TEST(HttpGet, BodyCutShortFails) {
    TestServer server;
    server.route_truncated("/cut", std::string(1000, 'x'), 5000);
    std::string body = "untouched", error;
    EXPECT_FALSE(http_get(server.host(), server.port(), "/cut", body, error));
    EXPECT_EQ(error, "Failed to read connection");
    EXPECT_EQ(body, "untouched");
    EXPECT_FALSE(http_get_quiet(server.host(), server.port(), "/cut", body));
}

// The library's own read time-out is 5 s; ours must be longer.
TEST(HttpGet, PauseShorterThanReadTimeoutIsTolerated) {
    TestServer server;
    server.route_stall("/slow", "abc", std::chrono::milliseconds(6500));
    std::string body, error;
    EXPECT_TRUE(http_get(server.host(), server.port(), "/slow", body, error)) << error;
    EXPECT_EQ(body, "abc!");
}

TEST(HttpGet, ServerThatStopsSendingTimesOutAfterThirtySeconds) {
    TestServer server;
    server.route_stall("/silent", "abc", std::chrono::minutes(2));
    const auto start = std::chrono::steady_clock::now();
    std::string body, error;
    EXPECT_FALSE(http_get(server.host(), server.port(), "/silent", body, error));
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(error, "Failed to read connection");
    EXPECT_GT(seconds, 29.0);
    EXPECT_LT(seconds, 40.0);
}

TEST(HttpGet, BodyOfExactlyTheCapIsAccepted) {
    TestServer server;
    server.route_stream("/cap", max_body_in_memory, false);
    std::string body, error;
    ASSERT_TRUE(http_get(server.host(), server.port(), "/cap", body, error)) << error;
    ASSERT_EQ(body.size(), max_body_in_memory);
    EXPECT_EQ(body.substr(max_body_in_memory - 1000),
              TestServer::stream_pattern(max_body_in_memory - 1000, 1000));
}

TEST(HttpGet, HugeBodyDoesNotExhaustMemory) {
    TestServer server;
    server.route_stream("/endless", TestServer::endless);
    server.route_stream("/one-too-many", max_body_in_memory + 1, false);
    std::string body = "untouched", error;
    EXPECT_FALSE(http_get(server.host(), server.port(), "/endless", body, error));
    EXPECT_EQ(error, "Connection handling canceled");
    EXPECT_EQ(body, "untouched");
    EXPECT_FALSE(http_get_quiet(server.host(), server.port(), "/endless", body));
    EXPECT_FALSE(http_get(server.host(), server.port(), "/one-too-many", body, error));
    EXPECT_EQ(body, "untouched");

    std::string response = "untouched";
    int status = -1;
    EXPECT_FALSE(http_post_json(server.host(), server.port(), "/endless", "{}", response, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(response, "");
    // Three endless answers stopped near the cap each (socket buffers aside).
    EXPECT_LT(server.streamed_bytes.load(), 4 * max_body_in_memory + (64u << 20));
}

TEST(HttpPostJson, AnswersByStatus) {
    struct Case {
        int status;
        std::string body;
        bool ok;
    };
    const std::vector<Case> cases = {
        {200, R"({"ok":true})", true}, {201, "made", true},   {204, "", true},
        {299, "edge", true},           {301, "moved", false}, {401, "denied", false},
        {500, "oops", false},          {503, "", false},
    };
    TestServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        server.route("/api/launcher_login", c.status, c.body, "application/json");
        std::string response = "untouched";
        int status = -1;
        EXPECT_EQ(http_post_json(server.host(), server.port(), "/api/launcher_login",
                                 R"({"user":"a"})", response, status),
                  c.ok);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(response, c.body);
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), cases.size());
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, R"({"user":"a"})");
    auto type = requests[0].headers.find("Content-Type");
    ASSERT_NE(type, requests[0].headers.end());
    EXPECT_EQ(type->second, "application/json");
}

TEST(HttpPostJson, NoServerGivesStatusZero) {
    std::string response = "untouched";
    int status = -1;
    EXPECT_FALSE(http_post_json("127.0.0.1", closed_port(), "/x", "{}", response, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(response, "");
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
    TempDir dir;
};

TEST_F(Download, WritesBodyCreatingParentFolders) {
    server.route("/launcher_files/data/maps/one.bin", 200, all_bytes());
    server.route("/empty", 200, "");
    const std::string dest = at("updates/data/maps/one.bin");
    EXPECT_TRUE(download("/launcher_files/data/maps/one.bin", dest));
    EXPECT_EQ(km::test::read_file(dest), all_bytes());

    km::test::write_file(at("old.bin"), "previous content");
    EXPECT_TRUE(download("/empty", at("old.bin")));
    EXPECT_TRUE(fs::exists(at("old.bin")));
    EXPECT_EQ(fs::file_size(at("old.bin")), 0u);
}

TEST_F(Download, FailureLeavesNoFileBehind) {
    server.route("/missing", 404, "<html>not here</html>", "text/html");
    server.route("/error", 500, "");
    server.route("/no-content", 204, "");
    server.route_truncated("/cut", std::string(3000, 'x'), 9000);
    for (const char* path : {"/missing", "/error", "/no-content", "/cut"}) {
        SCOPED_TRACE(path);
        const std::string dest = at("updates/file.bin");
        km::test::write_file(dest, "stale");
        EXPECT_FALSE(download(path, dest));
        EXPECT_FALSE(fs::exists(dest));
    }
    EXPECT_FALSE(http_download_file("127.0.0.1", closed_port(), "/x", at("refused.bin"), {}));
    EXPECT_FALSE(fs::exists(at("refused.bin")));
}

TEST_F(Download, DestinationThatIsAFolderSendsNoRequest) {
    fs::create_directories(at("updates/taken"));
    server.route("/f", 200, "data");
    EXPECT_FALSE(download("/f", at("updates/taken")));
    EXPECT_TRUE(fs::is_directory(at("updates/taken")));
    // A parent that cannot be created (a file in the way) is a failure too, not an exception.
    km::test::write_file(at("blocker"), "file");
    EXPECT_FALSE(download("/f", at("blocker/sub/f.bin")));
    EXPECT_EQ(server.request_count, 0);
}

TEST_F(Download, AbortingProgressStopsTheTransfer) {
    server.route_stream("/big", 256u << 20, false);
    int calls = 0;
    const std::string dest = at("big.bin");
    EXPECT_FALSE(download("/big", dest, [&](std::size_t, std::size_t) { return ++calls < 3; }));
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_LT(server.streamed_bytes.load(), std::uint64_t{128} << 20);
}

TEST_F(Download, LargeStreamArrivesIntactWithProgress) {
    constexpr std::uint64_t size = (48u << 20) + 12345;
    for (bool chunked : {true, false}) {
        SCOPED_TRACE(chunked ? "chunked" : "with length");
        server.route_stream("/large", size, chunked);
        std::size_t last = 0, total_seen = 0;
        bool increasing = true;
        const std::string dest = at("large.bin");
        ASSERT_TRUE(download("/large", dest, [&](std::size_t received, std::size_t total) {
            increasing = increasing && received >= last;
            last = received;
            total_seen = total;
            return true;
        }));
        // The library reports progress only for bodies with an announced length.
        EXPECT_TRUE(increasing);
        if (!chunked) {
            EXPECT_EQ(last, size);
            EXPECT_EQ(total_seen, size);
        }
        const std::string content = km::test::read_file(dest);
        ASSERT_EQ(content.size(), size);
        EXPECT_TRUE(content == TestServer::stream_pattern(0, content.size()));
    }
}

TEST_F(Download, DestinationWithoutFolderIsRelativeToCurrentFolder) {
    server.route("/plain", 200, "plain");
    const fs::path saved = fs::current_path();
    fs::current_path(dir.path());
    const bool ok = download("/plain", "plain.bin");
    fs::current_path(saved);
    EXPECT_TRUE(ok);
    EXPECT_EQ(dir.read("plain.bin"), "plain");
}

TEST(TestServerFixedAddress, ServesOnTheGivenPortAndRefusesATakenOne) {
    const int port = closed_port();
    TestServer fixed("127.0.0.1", port);
    EXPECT_EQ(fixed.port(), port);
    fixed.route("/ping", 200, "pong");
    std::string body, error;
    EXPECT_TRUE(http_get("127.0.0.1", port, "/ping", body, error)) << error;
    EXPECT_EQ(body, "pong");
    EXPECT_THROW(TestServer("127.0.0.1", port), std::runtime_error);
}

TEST(HttpErrorText, StandardTexts) {
    const std::vector<std::pair<httplib::Error, std::string>> table = {
        {httplib::Error::Success, "Success (no error)"},
        {httplib::Error::Unknown, "Unknown"},
        {httplib::Error::Connection, "Could not establish connection"},
        {httplib::Error::BindIPAddress, "Failed to bind IP address"},
        {httplib::Error::Read, "Failed to read connection"},
        {httplib::Error::Write, "Failed to write connection"},
        {httplib::Error::ExceedRedirectCount, "Maximum redirect count exceeded"},
        {httplib::Error::Canceled, "Connection handling canceled"},
        {httplib::Error::SSLConnection, "SSL connection failed"},
        {httplib::Error::SSLLoadingCerts, "SSL certificate loading failed"},
        {httplib::Error::SSLServerVerification, "SSL server verification failed"},
        {httplib::Error::UnsupportedMultipartBoundaryChars,
         "Unsupported HTTP multipart boundary characters"},
        {httplib::Error::Compression, "Compression failed"},
        {httplib::Error::ConnectionTimeout, "Connection timed out"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(http_error_text(static_cast<int>(code)), text);
    EXPECT_EQ(http_error_text(-1), "Invalid");
    // A code the library added later has no text of ours either.
    EXPECT_EQ(http_error_text(static_cast<int>(httplib::Error::ProxyConnection)), "Invalid");
    EXPECT_EQ(http_error_text(1000), "Invalid");
}

}  // namespace
}  // namespace km::updater
