// Blocking HTTP transfers, each over a connection of its own (http_connection.h). Worker threads
// only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "updater/http_connection.h"

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

// Each transfer takes its server as an address with its scheme, or as a host and port for
// plain HTTP. `failure`, when given, receives why no answer came (success when one did).
bool http_get(const ServerAddress& server, const std::string& path, std::string& body,
              std::string& error, TransferError* failure = nullptr);
bool http_get(const std::string& host, int port, const std::string& path, std::string& body,
              std::string& error);
bool http_get_quiet(const ServerAddress& server, const std::string& path, std::string& body);
bool http_get_quiet(const std::string& host, int port, const std::string& path, std::string& body);
bool http_post_json(const ServerAddress& server, const std::string& path,
                    const std::string& request_body, std::string& response_body, int& status,
                    TransferError* failure = nullptr);
bool http_post_json(const std::string& host, int port, const std::string& path,
                    const std::string& request_body, std::string& response_body, int& status);

// Streams the body into `dest` (parent folders created first). Any failure returns false and
// removes `dest`, so a partial or error-page file is never mistaken for a finished download;
// a destination that cannot be opened (e.g. a folder of that name) fails before any request.
// A body that grows past `max_size` bytes is aborted at once. When `sha256_hex` is given it
// receives the SHA-256 (64 lower-case hex digits) of exactly the bytes written to `dest`; when
// `error` is given, a failure's own text (the library's, "HTTP 404", or what failed on disk).
using DownloadProgress = std::function<bool(std::size_t received, std::size_t total)>;
bool http_download_file(const ServerAddress& server, const char* path, const std::string& dest,
                        const DownloadProgress& progress,
                        std::uint64_t max_size = std::numeric_limits<std::uint64_t>::max(),
                        std::string* sha256_hex = nullptr, std::string* error = nullptr);
bool http_download_file(const char* host, int port, const char* path, const std::string& dest,
                        const DownloadProgress& progress,
                        std::uint64_t max_size = std::numeric_limits<std::uint64_t>::max(),
                        std::string* sha256_hex = nullptr, std::string* error = nullptr);

// The update check's downloads: a partial file continued where it was cut, and a transfer the
// player may slow down (download_control.h) or stop with the file kept.
struct ResumableDownload {
    std::uint64_t kept = 0;  // bytes already at the start of the file to continue (0: none)
    std::string validator;   // sent as If-Range with the Range of a continuation
    // The signed size: no more is written, and a continuation's Content-Range must give it.
    std::uint64_t size = std::numeric_limits<std::uint64_t>::max();
};
struct DownloadHooks {
    DownloadProgress progress;  // bytes of the whole file so far and its whole length
    // Once, when an answer is taken (a 200, or a 206 continuing the kept bytes), before its
    // first byte is written; `from_start` when the file starts over. False fails the download.
    std::function<bool(const HttpResponseHead&, bool from_start)> started;
    std::function<void(std::size_t)> received;  // each block of the body as it arrives
    std::function<bool()> stop;  // asked before each block: true stops, the file kept
};
enum class DownloadEnd {
    done,     // the whole answer written; the digest is that of the whole file
    cut,      // the connection failed or dropped: the file is kept as far as it came
    stopped,  // `stop` said so: the file is kept as far as it came
    failed,   // another answer, a Content-Range that does not continue the file, a write that
              // failed or a body past the size: the file is removed
};
// With `kept` > 0 asks for the rest (Range: bytes=kept-, If-Range: validator): a 206 from
// `kept` is appended, a 200 starts the file over.
DownloadEnd http_download_resumable(const ServerAddress& server, const char* path,
                                    const std::string& dest, const ResumableDownload& resume,
                                    const DownloadHooks& hooks, std::string* sha256_hex,
                                    std::string* error = nullptr);

// The standard text for one of the HTTP library's error codes (the value of httplib::Error),
// as players see it after "Offline: "; "Invalid" for a value the library does not define.
std::string http_error_text(int code);

}  // namespace km::updater
