#include <windows.h>
// after windows.h, whose types they use
#include <wincrypt.h>
#include <wininet.h>

#include <cstdlib>

#include "tests/support/temp_dir.h"
#include "tests/support/tls_servers.h"

namespace km::test {

namespace {

std::string env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

}  // namespace

// What Internet Options writes for a fixed proxy (the per-connection settings WinHTTP reads):
// version, change counter, flags (direct | proxy), then the proxy, the bypass list and the
// setup script's address, each as a length and its bytes. An empty `server`: direct, no
// automatic detection.
bool set_players_proxy(const std::string& server) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER,
                        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                        L"Settings\\Connections",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    std::string blob;
    const auto add = [&blob](DWORD value) {
        blob.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    add(0x46);
    add(1);
    add(server.empty() ? PROXY_TYPE_DIRECT : PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY);
    add(static_cast<DWORD>(server.size()));
    blob += server;
    add(0);  // no bypass list
    add(0);  // no setup script
    blob.append(32, '\0');
    const LONG result =
        RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool trust_test_ca(std::string& why) {
    // The prefix is run_https.sh's own, made for this run: adding to its root store (on Windows
    // itself this would ask the user first) touches neither the machine's store nor another
    // prefix.
    // A prefix's own default is automatic proxy detection, which would look for a proxy on the
    // network (WPAD) before every request: the tests' requests stay on loopback.
    if (!set_players_proxy("")) {
        why = "the prefix's Internet settings could not be written";
        return false;
    }
    const std::string pem = read_file(env("KM_TLS_CA"));
    if (pem.empty() || env("KM_TLS_BACKEND_PORT").empty()) {
        why = "run through tests/wine/run_https.sh (KM_TLS_CA, KM_TLS_BACKEND_PORT)";
        return false;
    }
    std::string der(pem.size(), '\0');
    DWORD size = static_cast<DWORD>(der.size());
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()), &size,
                              nullptr, nullptr)) {
        why = "ca.pem is not PEM";
        return false;
    }
    HCERTSTORE root = CertOpenSystemStoreA(0, "ROOT");
    const bool added =
        root && CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                                 reinterpret_cast<const BYTE*>(der.data()), size,
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (root)
        CertCloseStore(root, 0);
    if (!added)
        why = "the prefix's root store refused the test CA";
    return added;
}

TlsServer tls_server(const std::string& certificate) {
    TlsServer server;
    const int backend = std::atoi(env("KM_TLS_BACKEND_PORT").c_str());
    server.recorder = std::make_unique<TestServer>(plain_server(), "127.0.0.1", backend);
    // No TLS at all: the recording server itself, asked over HTTPS.
    const int port =
        certificate.empty() ? backend : std::atoi(env("KM_TLS_PORT_" + certificate).c_str());
    server.address = {"127.0.0.1", port, updater::Scheme::https};
    return server;
}

bool certificate_refusals_told() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
}

}  // namespace km::test
