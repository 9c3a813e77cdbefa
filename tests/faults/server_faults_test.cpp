// The update server answering bytes that are not HTTP, or not the HTTP it announced, in place of
// the manifest or of a file, and the disk filling up under a download. Every case must end the
// check with its error text, install nothing, and leave the installation as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "launcher/common/events.h"
#include "tests/faults/child_process.h"
#include "tests/faults/raw_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/test_signer.h"

namespace km {
namespace {

std::string http_answer(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class ServerFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& file : files_)
            test::install_file(install_.path(), file.path, "old");
    }
    // Runs a check against `answer` and returns the event before the last (updating false).
    std::string failed_check(const std::function<std::string(const std::string&)>& answer,
                             rlim_t file_bytes = 0) {
        faults::RawServer server([&](const std::string& path, const faults::RawServer::Send& send) {
            send(answer(path));
        });
        const auto result =
            faults::CheckChild(install_.str(), server.host(), server.port(), file_bytes).wait();
        EXPECT_EQ(result.exit_code, 1);
        for (const auto& file : files_)
            EXPECT_EQ(install_.read(file.path), "old") << file.path;
        if (result.events.size() < 3 || result.events.back() != event_text::updating(false))
            return "(no end of check)";
        return result.events[result.events.size() - 2];
    }

    test::TempDir install_;
    const std::vector<test::ReleaseFile> files_ = {{"a.dat", std::string(70'000, 'a')},
                                                   {"sub/b.dat", std::string(300'000, 'b')}};
    const std::string manifest_ = test::manifest_json(3, 1, 4, files_);
};

// Offline, or (where the library makes a body of it) refused for want of a signature.
TEST_F(ServerFaults, GarbageInsteadOfTheManifestIsRefused) {
    const std::pair<std::string, std::string> answers[] = {
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
        {"endless header lines",
         [] {
             std::string many = "HTTP/1.1 200 OK\r\n";
             for (int i = 0; i < 100'000; ++i)
                 many += "X-Pad: " + std::string(40, 'p') + "\r\n";
             return many;
         }()},
    };
    const std::string unsigned_text = event_text::progress(
        "Update blocked: missing or malformed manifest signature.", "error", 1.0);
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.first);
        const std::string last = failed_check([&](const std::string&) { return answer.second; });
        EXPECT_TRUE(last == event_text::server_status(false) || last == unsigned_text) << last;
    }
}

// A valid signed manifest, then garbage where a file should be, or the disk filling up while the
// file is written (a file-size limit, as `ulimit -f` sets it).
TEST_F(ServerFaults, GarbageInsteadOfAFileFailsTheDownload) {
    const std::string signature = test::dev_signature(manifest_);
    const struct {
        std::string name, answer;
        rlim_t file_bytes = 0;
    } answers[] = {
        {"disk full", http_answer(files_[1].content), 1 << 18},
        {"binary noise", std::string(5000, '\x07')},
        {"not found", "HTTP/1.1 404 X\r\nContent-Length: 0\r\n\r\n"},
        {"redirect", "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/x\r\n\r\n"},
        {"length cut short", "HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\nbbbb"},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nbb"},
        {"chunks that never end",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbbbb\r\n"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.name);
        const std::string last = failed_check(
            [&](const std::string& path) {
                if (path == "/update.manifest.json")
                    return http_answer(manifest_);
                if (path == "/update.manifest.json.sig")
                    return http_answer(signature);
                return path == "/launcher_files/sub/b.dat" ? answer.answer
                                                           : http_answer(files_[0].content);
            },
            answer.file_bytes);
        EXPECT_EQ(last,
                  event_text::progress("Download failed. Check your connection.", "error", 1.0));
        EXPECT_FALSE(std::filesystem::exists(install_.path() / "updates/sub/b.dat"));
    }
}

}  // namespace
}  // namespace km
