#include "updater/transfers.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "km/build_config.h"
#include "platform/paths.h"
#include "updater/download_control.h"
#include "updater/http_connection.h"
#include "updater/partial_download.h"
#include "updater/sha256.h"

namespace km::updater {

namespace fs = std::filesystem;

namespace {

// The library hands the body over in chunks of 4 KiB. The standard file stream writes any piece
// of 1 KiB or more straight through (one writev per chunk, whatever its own buffer size), so the
// chunks are gathered here and reach the file 1 MiB at a time.
constexpr std::size_t download_buffer_size = 1024 * 1024;

// Hashes one block at a time on a thread of its own, so that the next block is received and
// written while the last one is hashed: on two cores a download then costs about what its
// transfer costs, not the transfer plus the hashing.
class BackgroundHasher {
  public:
    BackgroundHasher() : thread_([this] { run(); }) {}
    ~BackgroundHasher() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    BackgroundHasher(const BackgroundHasher&) = delete;
    BackgroundHasher& operator=(const BackgroundHasher&) = delete;

    // Hands `block` over to be hashed and gives back the buffer of the block before it, whose
    // hashing is over (its capacity kept for the next fill).
    void add(std::vector<char>& block) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !busy_; });
        std::swap(block, block_);
        busy_ = true;
        wake_.notify_all();
    }

    // The digest of every block added; call once, after the last add().
    Sha256Digest finish() {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !busy_; });
        return hasher_.finish();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return busy_ || done_; });
            if (!busy_)
                return;
            lock.unlock();
            hasher_.update(block_.data(), block_.size());
            lock.lock();
            block_.clear();
            busy_ = false;
            wake_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<char> block_;  // the block being hashed, while busy_
    bool busy_ = false;
    bool done_ = false;
    Sha256 hasher_;
    std::thread thread_;
};

// Gathers received chunks and writes them to `out` in blocks of download_buffer_size, each block
// hashed after it is written when a digest is wanted: the digest is that of exactly the bytes
// written. False once the stream failed or the body passed `max_size`, which aborts the transfer.
class BlockWriter {
  public:
    BlockWriter(std::ofstream& out, std::uint64_t max_size, bool hash)
        : out_(out), max_size_(max_size) {
        pending_.reserve(download_buffer_size);
        if (hash)
            hasher_ = std::make_unique<BackgroundHasher>();
    }

    bool add(const char* data, std::size_t size) {
        if (size > max_size_ - received_) {
            too_big_ = true;
            return false;
        }
        received_ += size;
        while (size > 0) {
            const std::size_t take = std::min(size, download_buffer_size - pending_.size());
            pending_.insert(pending_.end(), data, data + take);
            data += take;
            size -= take;
            if (pending_.size() == download_buffer_size && !flush())
                return false;
        }
        return out_.good();
    }

    bool flush() {
        if (pending_.empty())
            return out_.good();
        out_.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
        if (!out_.good())
            return false;
        if (hasher_)
            hasher_->add(pending_);
        pending_.clear();
        pending_.reserve(download_buffer_size);
        return true;
    }

    // Hashes the first `length` bytes already in `file` ahead of everything written next: the
    // digest of a continued download is that of the whole file.
    bool hash_existing(const fs::path& file, std::uint64_t length) {
        if (!hasher_)
            return true;
        std::ifstream in(file, std::ios::binary);
        std::vector<char> block;
        while (length > 0) {
            block.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(length, download_buffer_size)));
            if (!in.read(block.data(), static_cast<std::streamsize>(block.size())))
                return false;
            length -= block.size();
            hasher_->add(block);
        }
        return true;
    }

    // The digest of the bytes written; call once, after the last flush().
    std::string digest() { return hasher_ ? to_hex(hasher_->finish().data(), 32) : ""; }
    bool too_big() const { return too_big_; }

  private:
    std::ofstream& out_;
    const std::uint64_t max_size_;
    std::uint64_t received_ = 0;
    bool too_big_ = false;
    std::vector<char> pending_;
    std::unique_ptr<BackgroundHasher> hasher_;
};

std::mutex limit_mutex;
LowSpeedLimit low_speed_limit;
std::chrono::milliseconds document_deadline = std::chrono::seconds(60);

LowSpeedLimit current_low_speed_limit() {
    std::lock_guard<std::mutex> lock(limit_mutex);
    return low_speed_limit;
}

std::chrono::milliseconds current_document_deadline() {
    std::lock_guard<std::mutex> lock(limit_mutex);
    return document_deadline;
}

// No total time limit: a signed file may be large, and the low-speed limit is what ends a
// transfer that stalls.
constexpr std::chrono::milliseconds no_deadline = std::chrono::milliseconds::max();

// Watches one transfer from a thread of its own and stops the connection when the body bytes of
// the last window fall below the limit, or when the transfer outlives its deadline. The window
// is sampled in twelfths, so the trip comes at most a twelfth late; stopping is repeated until
// the transfer ends, since a stop that lands while the socket is still being connected has
// nothing to shut down yet.
class SpeedWatch {
  public:
    SpeedWatch(HttpConnection& connection, std::chrono::milliseconds deadline)
        : connection_(connection),
          limit_(current_low_speed_limit()),
          deadline_(deadline),
          thread_([this] { run(); }) {}
    ~SpeedWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    SpeedWatch(const SpeedWatch&) = delete;
    SpeedWatch& operator=(const SpeedWatch&) = delete;

    void count(std::size_t bytes) { received_ += bytes; }
    bool tripped() const { return tripped_; }

  private:
    static constexpr std::size_t samples_per_window = 12;

    void run() {
        auto tick = std::max<std::chrono::milliseconds>(
            limit_.window / static_cast<long>(samples_per_window), std::chrono::milliseconds(1));
        if (deadline_ != no_deadline)
            tick = std::min<std::chrono::milliseconds>(
                tick,
                std::max<std::chrono::milliseconds>(deadline_ / 12, std::chrono::milliseconds(1)));
        const auto started = std::chrono::steady_clock::now();
        const std::uint64_t least =
            limit_.bytes_per_second * static_cast<std::uint64_t>(limit_.window.count()) / 1000;
        std::deque<std::uint64_t> samples{0};  // bytes received at each tick, oldest first
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, tick, [this] { return done_; })) {
            if (!tripped_) {
                const bool late = deadline_ != no_deadline &&
                                  std::chrono::steady_clock::now() - started >= deadline_;
                samples.push_back(received_);
                if (!late && samples.size() <= samples_per_window)
                    continue;
                if (samples.size() > samples_per_window)
                    samples.pop_front();
                if (!late && samples.back() - samples.front() >= least)
                    continue;
                tripped_ = true;
            }
            lock.unlock();  // stop() may wait for a connect in progress
            connection_.stop();
            lock.lock();
        }
    }

    HttpConnection& connection_;
    const LowSpeedLimit limit_;
    const std::chrono::milliseconds deadline_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> tripped_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// One exchange under a SpeedWatch. `head` receives the answer's status line and headers; the
// body goes to `body` (every byte counted by the watch). A transfer the watch stopped reports the
// error of a dropped connection, whatever the library made of the shut-down socket.
TransferError watched_exchange(const ServerAddress& server, const HttpRequest& request,
                               std::chrono::milliseconds deadline, HttpResponseHead& head,
                               const std::function<bool(const char*, std::size_t)>& body,
                               const std::function<bool(std::uint64_t, std::uint64_t)>& progress) {
    HttpConnection connection(server);
    SpeedWatch watch(connection, deadline);
    HttpHandlers handlers;
    handlers.head = [&head](const HttpResponseHead& answer) {
        head = answer;
        return true;
    };
    handlers.body = [&](const char* data, std::size_t size) {
        watch.count(size);
        return body(data, size);
    };
    handlers.progress = progress;
    const TransferError error = connection.send(request, handlers);
    return watch.tripped() ? TransferError::read : error;
}

// A small document into memory under its deadline: the chunk that would take the body past
// the cap is refused, which aborts the transfer instead of buffering an endless answer.
TransferError capped_exchange(const ServerAddress& server, const HttpRequest& request,
                              HttpResponseHead& head, std::string& body) {
    return watched_exchange(server, request, current_document_deadline(), head,
                            [&body](const char* data, std::size_t size) {
                                if (size > max_body_in_memory - body.size())
                                    return false;
                                body.append(data, size);
                                return true;
                            },
                            {});
}

HttpRequest get_request(const std::string& path) {
    HttpRequest request;
    request.path = path;
    return request;
}

}  // namespace

void set_low_speed_limit(LowSpeedLimit limit) {
    std::lock_guard<std::mutex> lock(limit_mutex);
    low_speed_limit = limit;
}

void set_document_deadline(std::chrono::milliseconds deadline) {
    std::lock_guard<std::mutex> lock(limit_mutex);
    document_deadline = deadline;
}

std::string http_error_text(int code) {
    using E = TransferError;
    switch (static_cast<E>(code)) {
        case E::success:
            return "Success (no error)";
        case E::connection:
            return "Could not establish connection";
        case E::bind_ip_address:
            return "Failed to bind IP address";
        case E::read:
            return "Failed to read connection";
        case E::write:
            return "Failed to write connection";
        case E::exceed_redirect_count:
            return "Maximum redirect count exceeded";
        case E::canceled:
            return "Connection handling canceled";
        case E::ssl_connection:
            return "SSL connection failed";
        case E::ssl_loading_certs:
            return "SSL certificate loading failed";
        case E::ssl_server_verification:
            return "SSL server verification failed";
        case E::unsupported_multipart_boundary_chars:
            return "Unsupported HTTP multipart boundary characters";
        case E::compression:
            return "Compression failed";
        case E::connection_timeout:
            return "Connection timed out";
        case E::unknown:
            return "Unknown";
        default:
            break;  // codes the table does not name: players read the one fixed text
    }
    return "Invalid";
}

bool http_get(const ServerAddress& server, const std::string& path, std::string& body,
              std::string& error, TransferError* failure_out) {
    TransferError unused;
    TransferError& failure_told = failure_out ? *failure_out : unused;
    failure_told = TransferError::unknown;
    try {
        std::string received;
        HttpResponseHead head;
        const TransferError failure = capped_exchange(server, get_request(path), head, received);
        failure_told = failure;
        if (failure != TransferError::success) {
            error = http_error_text(static_cast<int>(failure));
            return false;
        }
        if (head.status != 200) {
            error = "HTTP " + std::to_string(head.status);
            return false;
        }
        body = std::move(received);
        return true;
    } catch (...) {
        error = http_error_text(static_cast<int>(TransferError::unknown));
        return false;
    }
}

bool http_get(const std::string& host, int port, const std::string& path, std::string& body,
              std::string& error) {
    return http_get({host, port}, path, body, error);
}

bool http_get_quiet(const ServerAddress& server, const std::string& path, std::string& body) {
    try {
        std::string received;
        HttpResponseHead head;
        if (capped_exchange(server, get_request(path), head, received) != TransferError::success ||
            head.status != 200)
            return false;
        body = std::move(received);
        return true;
    } catch (...) {
        return false;
    }
}

bool http_get_quiet(const std::string& host, int port, const std::string& path, std::string& body) {
    return http_get_quiet({host, port}, path, body);
}

bool http_post_json(const ServerAddress& server, const std::string& path,
                    const std::string& request_body, std::string& response_body, int& status,
                    TransferError* failure_out) {
    TransferError unused;
    TransferError& failure = failure_out ? *failure_out : unused;
    failure = TransferError::unknown;
    try {
        HttpRequest request;
        request.method = "POST";
        request.path = path;
        request.body = request_body;
        request.content_type = "application/json";
        std::string received;
        HttpResponseHead head;
        failure = capped_exchange(server, request, head, received);
        if (failure != TransferError::success) {
            status = 0;
            response_body.clear();
            return false;
        }
        status = head.status;
        response_body = std::move(received);
        return status >= 200 && status <= 299;
    } catch (...) {
        status = 0;
        response_body.clear();
        return false;
    }
}

bool http_post_json(const std::string& host, int port, const std::string& path,
                    const std::string& request_body, std::string& response_body, int& status) {
    return http_post_json({host, port}, path, request_body, response_body, status);
}

bool http_download_file(const char* host, int port, const char* path, const std::string& dest,
                        const DownloadProgress& progress, std::uint64_t max_size,
                        std::string* sha256_hex, std::string* error) {
    if (host == nullptr)
        return false;
    return http_download_file({host, port}, path, dest, progress, max_size, sha256_hex, error);
}

bool http_download_file(const ServerAddress& server, const char* path, const std::string& dest,
                        const DownloadProgress& progress, std::uint64_t max_size,
                        std::string* sha256_hex, std::string* error) {
    if (path == nullptr || dest.empty())
        return false;
    const auto failed = [error](std::string text) {
        if (error)
            *error = std::move(text);
        return false;
    };
    bool opened = false;
    const fs::path file_path = fs::u8path(dest);
    try {
        const std::string parent = parent_of(dest);
        if (!parent.empty()) {
            std::error_code ec;
            fs::create_directories(fs::u8path(parent), ec);
            if (ec)
                return failed("Could not create the file's folder");
        }

        std::ofstream out;
        out.rdbuf()->pubsetbuf(nullptr, 0);  // BlockWriter does the buffering
        out.open(file_path, std::ios::binary | std::ios::trunc);
        if (!out.is_open())
            return failed("Could not open the file for writing");
        opened = true;

        BlockWriter writer(out, max_size, sha256_hex != nullptr);
        HttpResponseHead head;
        const TransferError failure = watched_exchange(
            server, get_request(path), no_deadline, head,
            [&writer](const char* data, std::size_t size) { return writer.add(data, size); },
            [&progress](std::uint64_t received, std::uint64_t total) {
                if (!progress)
                    return true;
                return progress(static_cast<std::size_t>(received),
                                static_cast<std::size_t>(total));
            });
        const bool flushed = writer.flush();
        out.close();
        const bool ok =
            failure == TransferError::success && head.status == 200 && flushed && out.good();
        if (ok) {
            if (sha256_hex)
                *sha256_hex = writer.digest();
            return true;
        }
        failed(writer.too_big()                    ? "Larger than its signed size"
               : !flushed || !out.good()           ? "Could not write the file"
               : failure != TransferError::success ? http_error_text(static_cast<int>(failure))
                                                   : "HTTP " + std::to_string(head.status));
    } catch (...) {
        failed(http_error_text(static_cast<int>(TransferError::unknown)));
    }
    if (opened) {
        std::error_code ec;
        fs::remove(file_path, ec);
    }
    return false;
}

DownloadEnd http_download_resumable(const ServerAddress& server, const char* path,
                                    const std::string& dest, const ResumableDownload& resume,
                                    const DownloadHooks& hooks, std::string* sha256_hex,
                                    std::string* error) {
    const auto failed = [error](std::string text, DownloadEnd end) {
        if (error)
            *error = std::move(text);
        return end;
    };
    if (path == nullptr || dest.empty())
        return DownloadEnd::failed;
    const fs::path file_path = fs::u8path(dest);
    const bool continuing = resume.kept > 0 && resume.kept < resume.size;
    bool opened = false;
    try {
        const std::string parent = parent_of(dest);
        if (!parent.empty()) {
            std::error_code ec;
            fs::create_directories(fs::u8path(parent), ec);
            if (ec)
                return failed("Could not create the file's folder", DownloadEnd::failed);
        }
        std::ofstream out;
        const auto open = [&out, &file_path](std::ios::openmode mode) {
            out.rdbuf()->pubsetbuf(nullptr, 0);  // BlockWriter does the buffering
            out.open(file_path, std::ios::binary | mode);
            return out.is_open();
        };
        if (!open(continuing ? std::ios::in | std::ios::out : std::ios::trunc))
            return failed("Could not open the file for writing", DownloadEnd::failed);
        opened = true;
        HttpRequest request = get_request(path);
        if (continuing) {
            out.seekp(static_cast<std::streamoff>(resume.kept));
            request.headers = {{"Range", "bytes=" + std::to_string(resume.kept) + "-"},
                               {"If-Range", resume.validator}};
        }

        HttpResponseHead head;
        std::optional<BlockWriter> writer;
        std::uint64_t offset = 0;  // bytes of the file before this answer's body
        bool refused = false, stopped = false;
        DownloadThrottle throttle;
        // Once, before the answer's first byte is written (or after a body-less answer).
        const auto begin = [&]() {
            if (writer || refused)
                return !refused;
            if (head.status == 206 && continuing &&
                content_range_continues(head.header("Content-Range"), resume.kept, resume.size)) {
                offset = resume.kept;
            } else if (head.status != 200) {
                refused = true;
                return false;
            } else if (continuing) {
                out.close();  // the server sends the whole file: it starts over
                if (!open(std::ios::trunc)) {
                    refused = true;
                    return false;
                }
            }
            if (hooks.started && !hooks.started(head, offset == 0)) {
                refused = true;
                return false;
            }
            writer.emplace(out, resume.size - offset, sha256_hex != nullptr);
            refused = !writer->hash_existing(file_path, offset);
            return !refused;
        };
        const TransferError failure = watched_exchange(
            server, request, no_deadline, head,
            [&](const char* data, std::size_t size) {
                if (!begin())
                    return false;
                if ((hooks.stop && hooks.stop()) || !throttle.take(size, hooks.stop)) {
                    stopped = true;
                    return false;
                }
                if (hooks.received)
                    hooks.received(size);
                refused = !writer->add(data, size);
                return !refused;
            },
            [&](std::uint64_t received, std::uint64_t total) {
                if (!hooks.progress || !writer)
                    return true;
                return hooks.progress(static_cast<std::size_t>(offset + received),
                                      static_cast<std::size_t>(total == 0 ? 0 : offset + total));
            });
        if (failure == TransferError::success)
            begin();
        if (writer && !writer->flush())
            refused = true;
        out.close();
        if (!refused && out.good()) {
            if (stopped)
                return failed("Paused", DownloadEnd::stopped);
            if (failure != TransferError::success)
                return failed(http_error_text(static_cast<int>(failure)), DownloadEnd::cut);
            if (sha256_hex)
                *sha256_hex = writer->digest();
            return DownloadEnd::done;
        }
        failed(writer && writer->too_big() ? "Larger than its signed size"
               : writer || !out.good()     ? "Could not write the file"
               : head.status == 206        ? "HTTP 206 that does not continue the file"
                                           : "HTTP " + std::to_string(head.status),
               DownloadEnd::failed);
    } catch (...) {
        failed(http_error_text(static_cast<int>(TransferError::unknown)), DownloadEnd::failed);
    }
    if (opened) {
        std::error_code ec;
        fs::remove(file_path, ec);
    }
    return DownloadEnd::failed;
}

}  // namespace km::updater
