// A release published the way operators publish it, served by nginx, signed by OpenSSL with the
// development key: the update check, the feeds and the probe against it.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/events.h"
#include "launcher/feeds/feeds.h"
#include "launcher/startup.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "tests/support/test_signer.h"
#include "updater/transfers.h"
#include "updater/update_check.h"

namespace km {
namespace {

namespace fs = std::filesystem;
const char kNginx[] = "/usr/sbin/nginx";

std::string openssl_sign(const std::string& message) {
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, test::dev_seed, 32);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    const bool ok =
        key && context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return ok && length == 64 ? signature : std::string();
}

// One nginx, in the foreground and without worker processes, so the test owns exactly one pid.
class Nginx {
  public:
    Nginx(const fs::path& root, const fs::path& prefix) {
        {
            test::TestServer probe;  // the system hands out a free port
            port_ = probe.port();
        }
        const std::string p = prefix.string();
        const std::string conf =
            "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            "pid " +
            p + "/nginx.pid;\nerror_log " + p +
            "/error.log warn;\n"
            "events { worker_connections 64; }\n"
            "http {\n  access_log off;\n"
            "  client_body_temp_path " +
            p +
            "/body;\n"
            "  proxy_temp_path " +
            p +
            "/proxy;\n"
            "  fastcgi_temp_path " +
            p +
            "/fastcgi;\n"
            "  uwsgi_temp_path " +
            p +
            "/uwsgi;\n"
            "  scgi_temp_path " +
            p +
            "/scgi;\n"
            "  default_type application/octet-stream;\n"
            "  types { application/json json; image/png png; }\n"
            "  server {\n    listen 127.0.0.1:" +
            std::to_string(port_) + ";\n    root " + root.string() + ";\n  }\n}\n";
        test::write_file(prefix / "nginx.conf", conf);
        const std::string conf_path = (prefix / "nginx.conf").string();
        const std::string error_log = (prefix / "error.log").string();
        pid_ = fork();
        if (pid_ == 0) {
            execl(kNginx, "nginx", "-p", p.c_str(), "-c", conf_path.c_str(), "-e",
                  error_log.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !ready(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Nginx() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    bool ready() const {
        std::string body;
        return pid_ > 0 && updater::http_get_quiet("127.0.0.1", port_, "/ready.txt", body);
    }

  private:
    int port_ = 0;
    pid_t pid_ = -1;
};

class NginxRelease : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kNginx))
            GTEST_SKIP() << "nginx is not installed";
        fake::reset();
        test::write_file(release_.path() / "ready.txt", "ok");
        nginx_ = std::make_unique<Nginx>(release_.path(), prefix_.path());
        ASSERT_TRUE(nginx_->ready()) << test::read_file(prefix_.path() / "error.log");
        scope_ = std::make_unique<test::ScopedExeDir>(install_.str());
        launcher_config.host = "127.0.0.1";
        launcher_config.port = nginx_->port();
    }

    // Publishes like the release tools do: the manifest's signature comes from OpenSSL.
    void publish(int major, int minor, int patch, const std::vector<test::ReleaseFile>& files) {
        const std::string manifest = test::manifest_json(major, minor, patch, files);
        test::publish_release(release_.path(), manifest, files);
        const std::string signature = openssl_sign(manifest);
        ASSERT_EQ(signature.size(), 64u);
        EXPECT_EQ(signature, test::dev_signature(manifest));  // deterministic: both must agree
        test::write_file(release_.path() / "update.manifest.json.sig", signature);
    }

    test::TempDir release_, prefix_, install_;
    std::unique_ptr<Nginx> nginx_;
    std::unique_ptr<test::ScopedExeDir> scope_;
};

TEST_F(NginxRelease, InstallsAPublishedReleaseThenFindsItCurrent) {
    const std::vector<test::ReleaseFile> files = {
        {"Game_x64_win.exe", std::string(300000, 'g'), "", true},
        {"data/maps/arena_01.map", std::string(2 << 20, 'm')},
        {"web/index.html", "<!doctype html><title>x</title>"},
        {"linux/libgame.so", "elf", "linux"}};
    publish(4, 2, 0, files);

    ASSERT_TRUE(updater::run_update_check_impl(false));
    const auto events = fake::events();
    EXPECT_EQ(events.front(), event_text::updating(true));
    EXPECT_EQ(events[events.size() - 3], event_text::progress("Updated to v4.2.0", "success", 1.0));
    EXPECT_EQ(events[events.size() - 2], event_text::update_complete(3, false));
    EXPECT_EQ(events.back(), event_text::updating(false));
    EXPECT_EQ(fake::requests(),
              std::vector<platform::WindowRequest>{platform::WindowRequest::reload_page});
    EXPECT_EQ(install_.read("Game_x64_win.exe"), std::string(300000, 'g'));
    EXPECT_EQ(install_.read("data/maps/arena_01.map"), std::string(2 << 20, 'm'));
    EXPECT_FALSE(fs::exists(install_.path() / "linux"));
    EXPECT_FALSE(fs::exists(install_.path() / "updates"));

    fake::reset();
    ASSERT_TRUE(updater::run_update_check_impl(false));
    const auto again = fake::events();
    EXPECT_EQ(again[again.size() - 3],
              event_text::progress("All files up to date (v4.2.0)", "success", 1.0));
}

TEST_F(NginxRelease, TamperedFileOnTheServerIsNotInstalled) {
    publish(1, 0, 0, {{"a.txt", "alpha"}});
    test::write_file(release_.path() / "launcher_files" / "a.txt", "evil");
    EXPECT_FALSE(updater::run_update_check_impl(false));
    const auto events = fake::events();
    EXPECT_EQ(events[events.size() - 2],
              event_text::progress("File verification failed.", "error", 1.0));
    EXPECT_FALSE(fs::exists(install_.path() / "a.txt"));
}

TEST_F(NginxRelease, FeedsAndProbe) {
    publish(1, 0, 0, {});
    test::publish_banners(release_.path(), {"news.png", "event.png"});
    test::publish_realm_status(release_.path(), "{\"realms\":[{\"name\":\"Ash\",\"up\":true}]}");

    fetch_banners();
    const std::string sep = build::path_separator;
    const std::string folder = exe_dir + sep + "cache" + sep + "banners" + sep;
    EXPECT_EQ(fake::events(),
              std::vector<std::string>{event_text::banners(
                  {file_url(folder + "news.png"), file_url(folder + "event.png")})});
    EXPECT_EQ(install_.read("cache/banners/event.png"), "event.png image");

    fake::reset();
    fetch_realm_status();
    EXPECT_EQ(
        fake::events(),
        std::vector<std::string>{
            "{\"event\":\"realmStatus\",\"data\":{\"realms\":[{\"name\":\"Ash\",\"up\":true}]}}"});

    fake::reset();
    probe_server();
    const auto events = fake::events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], event_text::server_status(true));
    EXPECT_EQ(events[events.size() - 3],
              event_text::progress("All files up to date (v1.0.0)", "success", 1.0));
}

TEST_F(NginxRelease, MissingManifestIsOffline) {
    EXPECT_FALSE(updater::run_update_check_impl(false));
    const auto events = fake::events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2], event_text::progress("Offline: HTTP 404", "error", 1.0));
    EXPECT_EQ(events[3], event_text::server_status(false));
}

}  // namespace
}  // namespace km
