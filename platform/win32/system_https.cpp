// HTTPS over WinHTTP: Windows' own TLS stack and root store, and the player's proxy settings.
#include "platform/system_https.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace km::platform {

namespace {

constexpr int connect_timeout_ms = 10000;
constexpr int read_timeout_ms = 30000;
// Bodies are read in pieces of the size our HTTP library reads them in on plain HTTP.
constexpr DWORD read_piece = 128 * 1024;

std::wstring wide(const std::string& text) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), length);
    return out;
}

std::string narrow(const wchar_t* text, std::size_t size) {
    if (size == 0)
        return {};
    const int wsize = static_cast<int>(size);
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, wsize, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, wsize, out.data(), length, nullptr, nullptr);
    return out;
}

// The proxy a request to `url` takes under the player's Internet settings, as Windows itself
// chooses it: automatic detection or a setup script (PAC) first, then the fixed proxy with its
// bypass list; none when nothing is set or nothing answers for this address. Resolved here and
// then used as a named proxy, rather than left to WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY: that
// exists only from Windows 8.1 on, and this way every system takes the same path.
struct Proxy {
    std::wstring servers;  // empty: straight to the server
    std::wstring bypass;
    bool operator<(const Proxy& other) const {
        return servers != other.servers ? servers < other.servers : bypass < other.bypass;
    }
};

HINTERNET open_session(const Proxy& proxy) {
    HINTERNET handle =
        proxy.servers.empty()
            ? WinHttpOpen(L"KeldmoorAshvow-Launcher", WINHTTP_ACCESS_TYPE_NO_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
            : WinHttpOpen(L"KeldmoorAshvow-Launcher", WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                          proxy.servers.c_str(),
                          proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : proxy.bypass.c_str(), 0);
    if (handle) {
        // TLS 1.2 at least; 1.3 where the system has it (older ones refuse the flag).
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!WinHttpSetOption(handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            WinHttpSetOption(handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
        }
    }
    return handle;
}

// One session per proxy, shared by every thread (WinHTTP allows it) and never closed: process
// exit ends them. A player has one proxy or a few, so the map stays small.
HINTERNET session_for(const Proxy& proxy) {
    static std::mutex mutex;
    static std::map<Proxy, HINTERNET> sessions;
    std::lock_guard<std::mutex> lock(mutex);
    HINTERNET& handle = sessions[proxy];
    if (!handle)
        handle = open_session(proxy);
    return handle;
}

Proxy players_proxy(const std::wstring& url) {
    Proxy proxy;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings))
        return proxy;
    bool resolved = false;
    if (settings.fAutoDetect || settings.lpszAutoConfigUrl) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        if (settings.fAutoDetect) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        if (settings.lpszAutoConfigUrl) {
            options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = settings.lpszAutoConfigUrl;
        }
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO found{};
        resolved = WinHttpGetProxyForUrl(session_for({}), url.c_str(), &options, &found) != FALSE;
        if (resolved && found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && found.lpszProxy) {
            proxy.servers = found.lpszProxy;
            proxy.bypass = found.lpszProxyBypass ? found.lpszProxyBypass : L"";
        }
        for (LPWSTR text : {found.lpszProxy, found.lpszProxyBypass})
            if (text)
                GlobalFree(text);
    }
    if (!resolved && settings.lpszProxy) {
        proxy.servers = settings.lpszProxy;
        proxy.bypass = settings.lpszProxyBypass ? settings.lpszProxyBypass : L"";
    }
    for (LPWSTR text : {settings.lpszAutoConfigUrl, settings.lpszProxy, settings.lpszProxyBypass})
        if (text)
            GlobalFree(text);
    return proxy;
}

enum class Phase { connect, receive };

// In synchronous use WinHTTP may end a certificate it refused with a generic error (Windows:
// ERROR_WINHTTP_SECURE_FAILURE, Wine: ERROR_WINHTTP_SECURE_CHANNEL_ERROR); what it refused is
// told only to the status callback.
constexpr DWORD certificate_flags =
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID | WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID |
    WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE;

void CALLBACK on_secure_failure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                                DWORD length) {
    if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || !context || !information ||
        length < sizeof(DWORD))
        return;
    const DWORD flags = *static_cast<const DWORD*>(information);
    if (flags & certificate_flags)
        reinterpret_cast<std::atomic<bool>*>(context)->store(true);
}

SystemHttpsError error_of(DWORD code, Phase phase) {
    switch (code) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
            return SystemHttpsError::untrusted;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
            return SystemHttpsError::tls;
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        case ERROR_WINHTTP_SECURE_FAILURE_PROXY:
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED_PROXY:
            return SystemHttpsError::connection;
        case ERROR_WINHTTP_TIMEOUT:
            return phase == Phase::connect ? SystemHttpsError::connection_timeout
                                           : SystemHttpsError::read;
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return phase == Phase::connect ? SystemHttpsError::write : SystemHttpsError::read;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        case ERROR_WINHTTP_HEADER_COUNT_EXCEEDED:
        case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
            return SystemHttpsError::read;
        case ERROR_WINHTTP_OPERATION_CANCELLED:
        case ERROR_INVALID_HANDLE:
            return SystemHttpsError::canceled;
        default:
            return SystemHttpsError::unknown;
    }
}

// The header lines after the status line, as name and value.
SystemHttpHeaders parse_headers(const std::string& raw) {
    SystemHttpHeaders headers;
    std::size_t at = raw.find("\r\n");
    while (at != std::string::npos && at + 2 < raw.size()) {
        const std::size_t start = at + 2;
        at = raw.find("\r\n", start);
        const std::string line =
            raw.substr(start, at == std::string::npos ? std::string::npos : at - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            continue;
        const std::size_t value = line.find_first_not_of(" \t", colon + 1);
        headers.emplace_back(line.substr(0, colon),
                             value == std::string::npos ? std::string() : line.substr(value));
    }
    return headers;
}

bool announced_length(const SystemHttpHeaders& headers, std::uint64_t& length) {
    for (const auto& [name, value] : headers) {
        if (CompareStringOrdinal(wide(name).c_str(), -1, L"Content-Length", -1, TRUE) != CSTR_EQUAL)
            continue;
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
            value.size() > 19)
            return false;
        length = std::stoull(value);
        return true;
    }
    return false;
}

}  // namespace

struct SystemHttpsConnection::State {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::mutex mutex;
    bool stopped = false;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    std::atomic<bool> certificate_refused{false};  // set by on_secure_failure

    // Closes the handles once, whoever comes first: stop() on another thread or the end of the
    // exchange. Closing the request is what ends a call blocked on it.
    void close() {
        for (HINTERNET* handle : {&request, &connection}) {
            if (*handle)
                WinHttpCloseHandle(*handle);
            *handle = nullptr;
        }
    }
};

bool SystemHttpsConnection::available() {
    return true;
}

SystemHttpsConnection::SystemHttpsConnection(const std::string& host, int port)
    : state_(std::make_unique<State>()) {
    state_->host = wide(host);
    state_->port = static_cast<INTERNET_PORT>(port > 0 && port <= 65535 ? port : 0);
}

SystemHttpsConnection::~SystemHttpsConnection() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->close();
}

void SystemHttpsConnection::stop() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopped = true;
    state_->close();
}

SystemHttpsError SystemHttpsConnection::send(const SystemHttpsRequest& request,
                                             const SystemHttpsHandlers& handlers) {
    State& s = *state_;
    struct Closer {
        State& s;
        ~Closer() {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.close();
        }
    } closer{s};
    if (s.port == 0 || s.host.empty())
        return SystemHttpsError::connection;
    s.certificate_refused = false;  // of this exchange alone
    const std::wstring url =
        L"https://" + s.host + L":" + std::to_wstring(s.port) + wide(request.path);
    const HINTERNET session = session_for(players_proxy(url));
    if (!session)
        return SystemHttpsError::connection;
    HINTERNET request_handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.stopped)
            return SystemHttpsError::canceled;
        s.connection = WinHttpConnect(session, s.host.c_str(), s.port, 0);
        if (s.connection)
            s.request = WinHttpOpenRequest(s.connection, wide(request.method).c_str(),
                                           wide(request.path).c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
        if (!s.request)
            return SystemHttpsError::connection;
        request_handle = s.request;
    }
    WinHttpSetTimeouts(request_handle, connect_timeout_ms, connect_timeout_ms, read_timeout_ms,
                       read_timeout_ms);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&s.certificate_refused);
    WinHttpSetOption(request_handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    WinHttpSetStatusCallback(request_handle, on_secure_failure,
                             WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    // A redirect is an answer like any other: following it could lead the password or the
    // check anywhere. Without that refusal in place nothing is sent.
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request_handle, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                          sizeof no_redirects))
        return SystemHttpsError::unknown;
    DWORD others = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request_handle, WINHTTP_OPTION_DISABLE_FEATURE, &others, sizeof others);
    std::wstring head_lines;
    for (const auto& [name, value] : request.headers)
        head_lines += wide(name) + L": " + wide(value) + L"\r\n";
    const DWORD body_size = static_cast<DWORD>(request.body.size());
    if (!WinHttpSendRequest(request_handle,
                            head_lines.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : head_lines.c_str(),
                            static_cast<DWORD>(head_lines.size()),
                            body_size ? const_cast<char*>(request.body.data()) : nullptr, body_size,
                            body_size, 0)) {
        const DWORD code = GetLastError();
        return s.certificate_refused ? SystemHttpsError::untrusted : error_of(code, Phase::connect);
    }
    if (!WinHttpReceiveResponse(request_handle, nullptr))
        return error_of(GetLastError(), Phase::receive);

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request_handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return error_of(GetLastError(), Phase::receive);
    size = 0;
    WinHttpQueryHeaders(request_handle, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                        WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
    if (size > 0 && !WinHttpQueryHeaders(request_handle, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                         WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                                         WINHTTP_NO_HEADER_INDEX))
        return error_of(GetLastError(), Phase::receive);
    const SystemHttpHeaders headers = parse_headers(narrow(raw.data(), size / sizeof(wchar_t)));
    if (handlers.head && !handlers.head(static_cast<int>(status), headers))
        return SystemHttpsError::canceled;

    std::uint64_t announced = 0;
    const bool has_length = announced_length(headers, announced);
    std::uint64_t received = 0;
    std::vector<char> piece(read_piece);
    while (true) {
        DWORD got = 0;
        if (!WinHttpReadData(request_handle, piece.data(), read_piece, &got))
            return error_of(GetLastError(), Phase::receive);
        if (got == 0)
            break;
        received += got;
        if (handlers.body && !handlers.body(piece.data(), got))
            return SystemHttpsError::canceled;
        if (has_length && handlers.progress && !handlers.progress(received, announced))
            return SystemHttpsError::canceled;
    }
    // A connection closed short of the announced length is a broken answer, not a short one.
    if (has_length && received != announced && status != 204 && status != 304)
        return SystemHttpsError::read;
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.stopped ? SystemHttpsError::canceled : SystemHttpsError::none;
}

}  // namespace km::platform
