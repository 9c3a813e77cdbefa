// The update server misbehaving: stopping in the middle of a download, refusing connections,
// answering bytes that are not HTTP or not the HTTP it announced. Every case must end the check
// with its error text, install nothing, and leave the installation as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "launcher/events.h"
#include "tests/faults/child_process.h"
#include "tests/faults/raw_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/test_signer.h"

namespace km {
namespace {

namespace fs = std::filesystem;
using faults::RawServer;
using test::ReleaseFile;

const char* kDownloadFailed = "Download failed. Check your connection.";

std::string error_event(const std::string& text) {
    return event_text::progress(text.c_str(), "error", 1.0);
}

bool has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

class ServerFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        files_ = {{"a.dat", std::string(70'000, 'a')},
                  {"sub/b.dat", std::string(300'000, 'b')},
                  {"c.dat", "new c"}};
        for (const ReleaseFile& file : files_)
            test::install_file(install_.path(), file.path, "old " + file.path);
        manifest_ = test::publish_release(release_.path(), 3, 1, 4, files_);
    }

    // Nothing was installed: every file still has its old content.
    void expect_old_installation() {
        for (const ReleaseFile& file : files_)
            EXPECT_EQ(install_.read(file.path), "old " + file.path) << file.path;
    }

    void expect_failed_with(const faults::ChildResult& result, const std::string& text) {
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(has(result.events, error_event(text))) << text;
        ASSERT_FALSE(result.events.empty());
        EXPECT_EQ(result.events.back(), event_text::updating(false));
        expect_old_installation();
    }

    faults::ChildResult check(const std::string& host, int port) {
        return faults::run_check_child(install_.str(), host, port);
    }

    test::TempDir release_, install_;
    std::vector<ReleaseFile> files_;
    std::string manifest_;
};

TEST_F(ServerFaults, ServerStoppingMidDownloadInstallsNothingAndLeavesNoPartialFile) {
    auto server = std::make_unique<test::TestServer>();
    server->serve_file_tree(release_.path());
    server->route_stall("/launcher_files/sub/b.dat", std::string(150'000, 'b'),
                        std::chrono::seconds(60));
    faults::CheckChild child(install_.str(), server->host(), server->port());
    ASSERT_TRUE(faults::poll_until([&] {
        const auto requests = server->requests();
        return std::any_of(requests.begin(), requests.end(),
                           [](const auto& r) { return r.path == "/launcher_files/sub/b.dat"; });
    }));
    server.reset();  // the server goes away with the transfer half done

    const auto result = child.wait();
    expect_failed_with(result, kDownloadFailed);
    EXPECT_FALSE(fs::exists(install_.path() / "updates" / "sub" / "b.dat"));

    // Back up again: the next check finishes the job.
    test::TestServer again;
    again.serve_file_tree(release_.path());
    EXPECT_EQ(check(again.host(), again.port()).exit_code, 0);
    for (const ReleaseFile& file : files_)
        EXPECT_EQ(install_.read(file.path), file.content);
}

TEST_F(ServerFaults, BodyCutShortOfItsLengthFailsTheDownload) {
    test::TestServer server;
    server.serve_file_tree(release_.path());
    server.route_truncated("/launcher_files/sub/b.dat", std::string(1000, 'b'), 300'000);
    const auto result = check(server.host(), server.port());
    expect_failed_with(result, kDownloadFailed);
    EXPECT_FALSE(fs::exists(install_.path() / "updates" / "sub" / "b.dat"));
}

TEST_F(ServerFaults, RefusedConnectionIsOffline) {
    int port = 0;
    {
        test::TestServer gone;
        port = gone.port();
    }
    const auto result = check("127.0.0.1", port);
    expect_failed_with(result, "Offline: Could not establish connection");
    EXPECT_TRUE(has(result.events, event_text::server_status(false)));
}

// Answers that are not HTTP, or HTTP that lies about itself, in place of the manifest: offline,
// or (where the library makes a body of it) refused for want of a signature.
TEST_F(ServerFaults, GarbageInsteadOfTheManifestIsRefused) {
    const std::string offline = "Offline: ";
    const std::string unsigned_text = "Update blocked: missing or malformed manifest signature.";
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"binary noise", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\x00\xff", 13)},
        {"empty answer", ""},
        {"no status code", "HTTP/1.1 OK\r\nContent-Length: 2\r\n\r\n{}"},
        {"status beyond int", "HTTP/1.1 99999999999999999999 OK\r\nContent-Length: 2\r\n\r\n{}"},
        {"length not a number", "HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n{}"},
        {"length beyond 64 bits",
         "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n{}"},
        {"length past the cap",
         "HTTP/1.1 200 OK\r\nContent-Length: 9000000000000\r\n\r\n{\"files\":[]}"},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n{}"},
        {"chunk size beyond 64 bits",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffffffff\r\n{}"},
        {"endless header", "HTTP/1.1 200 OK\r\nX: " + std::string(4 << 20, 'x')},
    };
    for (const auto& [name, bytes] : answers) {
        SCOPED_TRACE(name);
        RawServer server([&bytes = bytes](const std::string&, const auto& send) { send(bytes); });
        const auto result = check(server.host(), server.port());
        EXPECT_EQ(result.exit_code, 1);
        ASSERT_GE(result.events.size(), 3u);
        EXPECT_EQ(result.events.back(), event_text::updating(false));
        if (result.events[result.events.size() - 2] == event_text::server_status(false)) {
            EXPECT_NE(result.events[result.events.size() - 3].find("\"status\":\"" + offline),
                      std::string::npos);
        } else {
            EXPECT_EQ(result.events[result.events.size() - 2], error_event(unsigned_text));
        }
        expect_old_installation();
    }
}

// A valid signed manifest, then garbage where a file should be.
TEST_F(ServerFaults, GarbageInsteadOfAFileFailsTheDownload) {
    const std::string signature = test::dev_signature(manifest_);
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"binary noise", std::string(5000, '\x07')},
        {"not found", faults::http_answer(404, "no such file")},
        {"redirect",
         "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/x\r\n"
         "Content-Length: 0\r\n\r\n"},
        {"length cut short", "HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\nbbbb"},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nbb"},
        {"chunks that never end",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbbbb\r\n"},
    };
    for (const auto& [name, bytes] : answers) {
        SCOPED_TRACE(name);
        RawServer server([&](const std::string& path, const auto& send) {
            if (path == "/update.manifest.json")
                send(faults::http_answer(200, manifest_));
            else if (path == "/update.manifest.json.sig")
                send(faults::http_answer(200, signature));
            else if (path == "/launcher_files/sub/b.dat")
                send(bytes);
            else
                send(faults::http_answer(200, std::string(70'000, 'a')));
        });
        const auto result = check(server.host(), server.port());
        expect_failed_with(result, kDownloadFailed);
        EXPECT_FALSE(fs::exists(install_.path() / "updates" / "sub" / "b.dat"));
    }
}

}  // namespace
}  // namespace km
