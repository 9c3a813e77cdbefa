#include <cstdlib>
#include <filesystem>

#include "tests/support/temp_dir.h"
#include "tests/support/tls_servers.h"

namespace km::test {

namespace {

const TempDir& certificates() {
    static const TempDir folder;
    return folder;
}

}  // namespace

bool trust_test_ca(std::string& why) {
    static const bool made = [] {
        const std::string make =
            std::string("bash ") + KM_MAKE_TEST_CERTS + " " + certificates().str();
        return std::system(make.c_str()) == 0;
    }();
    if (!made) {
        why = "make_test_certs.sh failed";
        return false;
    }
    // OpenSSL's default verify paths, as the system's store would be read: the test CA and,
    // in place of the system's folder, an empty one.
    std::filesystem::create_directories(certificates().path() / "none");
    setenv("SSL_CERT_FILE", (certificates().path() / "ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", (certificates().path() / "none").c_str(), 1);
    return true;
}

TlsServer tls_server(const std::string& certificate) {
    TlsServer server;
    if (certificate.empty()) {
        server.recorder = std::make_unique<TestServer>(plain_server(), "127.0.0.1", 0);
    } else {
        const auto base = certificates().path() / certificate;
        server.recorder = std::make_unique<TestServer>(
            std::make_unique<httplib::SSLServer>((base.string() + ".pem").c_str(),
                                                 (base.string() + ".key").c_str()),
            "127.0.0.1", 0);
    }
    server.address = {server.recorder->host(), server.recorder->port(), updater::Scheme::https};
    return server;
}

bool certificate_refusals_told() {
    return true;
}

}  // namespace km::test
