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
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

#include "km/build_config.h"
#include "platform/paths.h"
#include "updater/sha256.h"

namespace km::updater {

namespace fs = std::filesystem;

namespace {

constexpr time_t connection_timeout_s = 10;
constexpr time_t read_timeout_s = 30;
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

LowSpeedLimit current_low_speed_limit() {
    std::lock_guard<std::mutex> lock(limit_mutex);
    return low_speed_limit;
}

// Watches one transfer from a thread of its own and stops the client when the body bytes of
// the last window fall below the limit. The window is sampled in twelfths, so the trip comes at
// most a twelfth late; stopping is repeated until the transfer ends, since a stop that lands
// while the socket is still being connected has nothing to shut down yet.
class SpeedWatch {
  public:
    explicit SpeedWatch(httplib::Client& client)
        : client_(client), limit_(current_low_speed_limit()), thread_([this] { run(); }) {}
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
        const auto tick = std::max<std::chrono::milliseconds>(
            limit_.window / static_cast<long>(samples_per_window), std::chrono::milliseconds(1));
        const std::uint64_t least =
            limit_.bytes_per_second * static_cast<std::uint64_t>(limit_.window.count()) / 1000;
        std::deque<std::uint64_t> samples{0};  // bytes received at each tick, oldest first
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, tick, [this] { return done_; })) {
            if (!tripped_) {
                samples.push_back(received_);
                if (samples.size() <= samples_per_window)
                    continue;
                samples.pop_front();
                if (samples.back() - samples.front() >= least)
                    continue;
                tripped_ = true;
            }
            lock.unlock();  // stop() may wait for a connect in progress
            client_.stop();
            lock.lock();
        }
    }

    httplib::Client& client_;
    const LowSpeedLimit limit_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> tripped_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Runs `send(client, watch)` under a SpeedWatch; a transfer it stopped reports the error of a
// dropped connection, whatever the library made of the shut-down socket.
template <typename Send>
httplib::Result watched(httplib::Client& client, Send send) {
    SpeedWatch watch(client);
    httplib::Result result = send(client, watch);
    if (watch.tripped())
        return httplib::Result(nullptr, httplib::Error::Read);
    return result;
}

std::unique_ptr<httplib::Client> make_client(const std::string& host, int port) {
    auto client = std::make_unique<httplib::Client>(host, port);
    client->set_connection_timeout(connection_timeout_s, 0);
    client->set_read_timeout(read_timeout_s, 0);
    return client;
}

// Appends chunks to `out` and refuses the chunk that would take it past the cap, which makes
// the library abort the transfer instead of buffering an endless answer.
struct CappedSink {
    std::string& out;
    SpeedWatch& watch;
    bool operator()(const char* data, std::size_t size) const {
        if (size > max_body_in_memory - out.size())
            return false;
        watch.count(size);
        out.append(data, size);
        return true;
    }
};

// GET into memory; the response (if any) comes back with its body in `body`.
httplib::Result capped_get(const std::string& host, int port, const std::string& path,
                           std::string& body) {
    auto client = make_client(host, port);
    return watched(*client, [&](httplib::Client& c, SpeedWatch& watch) {
        return c.Get(path, CappedSink{body, watch});
    });
}

}  // namespace

void set_low_speed_limit(LowSpeedLimit limit) {
    std::lock_guard<std::mutex> lock(limit_mutex);
    low_speed_limit = limit;
}

std::string http_error_text(int code) {
    using E = httplib::Error;
    switch (static_cast<E>(code)) {
        case E::Success:
            return "Success (no error)";
        case E::Connection:
            return "Could not establish connection";
        case E::BindIPAddress:
            return "Failed to bind IP address";
        case E::Read:
            return "Failed to read connection";
        case E::Write:
            return "Failed to write connection";
        case E::ExceedRedirectCount:
            return "Maximum redirect count exceeded";
        case E::Canceled:
            return "Connection handling canceled";
        case E::SSLConnection:
            return "SSL connection failed";
        case E::SSLLoadingCerts:
            return "SSL certificate loading failed";
        case E::SSLServerVerification:
            return "SSL server verification failed";
        case E::UnsupportedMultipartBoundaryChars:
            return "Unsupported HTTP multipart boundary characters";
        case E::Compression:
            return "Compression failed";
        case E::ConnectionTimeout:
            return "Connection timed out";
        case E::Unknown:
            return "Unknown";
        default:
            break;  // codes of later library versions: players read the one fixed text
    }
    return "Invalid";
}

bool http_get(const std::string& host, int port, const std::string& path, std::string& body,
              std::string& error) {
    try {
        std::string received;
        auto result = capped_get(host, port, path, received);
        if (!result) {
            error = http_error_text(static_cast<int>(result.error()));
            return false;
        }
        if (result->status != 200) {
            error = "HTTP " + std::to_string(result->status);
            return false;
        }
        body = std::move(received);
        return true;
    } catch (...) {
        error = http_error_text(static_cast<int>(httplib::Error::Unknown));
        return false;
    }
}

bool http_get_quiet(const std::string& host, int port, const std::string& path, std::string& body) {
    try {
        std::string received;
        auto result = capped_get(host, port, path, received);
        if (!result || result->status != 200)
            return false;
        body = std::move(received);
        return true;
    } catch (...) {
        return false;
    }
}

bool http_post_json(const std::string& host, int port, const std::string& path,
                    const std::string& request_body, std::string& response_body, int& status) {
    try {
        // Post() has no content receiver, so build the same request by hand to cap the answer.
        httplib::Request request;
        request.method = "POST";
        request.path = path;
        request.body = request_body;
        request.headers.emplace("Content-Type", "application/json");
        std::string received;
        auto client = make_client(host, port);
        auto result = watched(*client, [&](httplib::Client& c, SpeedWatch& watch) {
            CappedSink sink{received, watch};
            request.content_receiver = [&sink](const char* data, std::size_t size, std::uint64_t,
                                               std::uint64_t) { return sink(data, size); };
            return c.send(request);
        });
        if (!result) {
            status = 0;
            response_body.clear();
            return false;
        }
        status = result->status;
        response_body = std::move(received);
        return status >= 200 && status <= 299;
    } catch (...) {
        status = 0;
        response_body.clear();
        return false;
    }
}

bool http_download_file(const char* host, int port, const char* path, const std::string& dest,
                        const DownloadProgress& progress, std::uint64_t max_size,
                        std::string* sha256_hex, std::string* error) {
    if (host == nullptr || path == nullptr || dest.empty())
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
        auto client = make_client(host, port);
        auto result = watched(*client, [&](httplib::Client& c, SpeedWatch& watch) {
            return c.Get(
                path,
                [&](const char* data, std::size_t size) {
                    watch.count(size);
                    return writer.add(data, size);
                },
                [&progress](std::uint64_t received, std::uint64_t total) {
                    if (!progress)
                        return true;
                    return progress(static_cast<std::size_t>(received),
                                    static_cast<std::size_t>(total));
                });
        });
        const bool flushed = writer.flush();
        out.close();
        const bool ok = result && result->status == 200 && flushed && out.good();
        if (ok) {
            if (sha256_hex)
                *sha256_hex = writer.digest();
            return true;
        }
        failed(writer.too_big()          ? "Larger than its signed size"
               : !flushed || !out.good() ? "Could not write the file"
               : !result                 ? http_error_text(static_cast<int>(result.error()))
                                         : "HTTP " + std::to_string(result->status));
    } catch (...) {
        failed(http_error_text(static_cast<int>(httplib::Error::Unknown)));
    }
    if (opened) {
        std::error_code ec;
        fs::remove(file_path, ec);
    }
    return false;
}

}  // namespace km::updater
