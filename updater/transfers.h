// Blocking HTTP transfers, each over a connection of its own (http_connection.h). Worker threads
// only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace km::updater {

// Bodies held in memory are capped; a longer answer fails instead of exhausting memory.
inline constexpr std::size_t max_body_in_memory = std::size_t{64} << 20;

// A transfer still running after `window` that received fewer than bytes_per_second x window
// body bytes over its last `window` ends as a dropped connection. The read time-out alone
// restarts with every byte, so a server trickling one byte at a time could hold a check (and the
// Play button) for as long as it liked; headers count as no bytes, so a trickle of header lines
// is caught too.
struct LowSpeedLimit {
    std::uint64_t bytes_per_second = 1024;
    std::chrono::milliseconds window = std::chrono::seconds(60);
};
// Process-wide; applies to transfers started afterwards (tests shorten the window).
void set_low_speed_limit(LowSpeedLimit limit);
// Small documents held in memory (the manifest, its signature, the banners list, the realm
// status, the beta server's answer) must also be whole within this time: a trickle just above
// the low-speed limit would otherwise hold a check, and Play, for hours. Downloads of files have
// only the low-speed limit. 60 s unless set; applies to transfers started afterwards.
void set_document_deadline(std::chrono::milliseconds deadline);

bool http_get(const std::string& host, int port, const std::string& path, std::string& body,
              std::string& error);
bool http_get_quiet(const std::string& host, int port, const std::string& path, std::string& body);
bool http_post_json(const std::string& host, int port, const std::string& path,
                    const std::string& request_body, std::string& response_body, int& status);

// Streams the body into `dest` (parent folders created first). Any failure returns false and
// removes `dest`, so a partial or error-page file is never mistaken for a finished download;
// a destination that cannot be opened (e.g. a folder of that name) fails before any request.
// A body that grows past `max_size` bytes is aborted at once. When `sha256_hex` is given it
// receives the SHA-256 (64 lower-case hex digits) of exactly the bytes written to `dest`; when
// `error` is given, a failure's own text (the library's, "HTTP 404", or what failed on disk).
using DownloadProgress = std::function<bool(std::size_t received, std::size_t total)>;
bool http_download_file(const char* host, int port, const char* path, const std::string& dest,
                        const DownloadProgress& progress,
                        std::uint64_t max_size = std::numeric_limits<std::uint64_t>::max(),
                        std::string* sha256_hex = nullptr, std::string* error = nullptr);

// The standard text for one of the HTTP library's error codes (the value of httplib::Error),
// as players see it after "Offline: "; "Invalid" for a value the library does not define.
std::string http_error_text(int code);

}  // namespace km::updater
