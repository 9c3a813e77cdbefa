#include "updater/download_control.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace km::updater {

namespace {

std::atomic<std::uint64_t> limit_bytes_per_second{0};

// The session that downloads now (0: none) and the one a pause was asked for. A pause asked
// for just as one check ends names that check, so it never carries over to the next one.
std::atomic<std::uint64_t> sessions{0};
std::atomic<std::uint64_t> downloading{0};
std::atomic<std::uint64_t> paused{0};

constexpr auto longest_wait = std::chrono::milliseconds(50);

}  // namespace

void set_download_limit(std::uint64_t bytes_per_second) {
    limit_bytes_per_second.store(bytes_per_second);
}

std::uint64_t download_limit() {
    return limit_bytes_per_second.load();
}

bool request_download_pause() {
    const std::uint64_t session = downloading.load();
    if (session == 0)
        return false;
    paused.store(session);
    return true;
}

DownloadSession::DownloadSession() {
    downloading.store(++sessions);
}

DownloadSession::~DownloadSession() {
    downloading.store(0);
}

bool DownloadSession::pause_requested() const {
    const std::uint64_t session = downloading.load();
    return session != 0 && paused.load() == session;
}

bool DownloadThrottle::take(std::size_t bytes, const std::function<bool()>& stop) {
    auto now = Clock::now();
    std::uint64_t rate = download_limit();
    if (rate == 0) {
        rate_ = 0;
        return true;
    }
    if (rate != rate_) {
        // A new limit starts from an empty bucket: what an earlier one saved up is not spent.
        rate_ = rate;
        tokens_ = 0;
        last_ = now;
    }
    const double capacity = std::max(static_cast<double>(rate_) / 10.0, static_cast<double>(bytes));
    const std::chrono::duration<double> idle = now - last_;
    tokens_ = std::min(capacity, tokens_ + idle.count() * static_cast<double>(rate_));
    last_ = now;
    tokens_ -= static_cast<double>(bytes);
    while (tokens_ < 0) {
        if (stop && stop())
            return false;
        const std::chrono::duration<double> owed(-tokens_ / static_cast<double>(rate_));
        std::this_thread::sleep_for(std::min<std::chrono::duration<double>>(owed, longest_wait));
        now = Clock::now();
        rate = download_limit();
        if (rate == 0) {
            rate_ = 0;
            return true;
        }
        rate_ = rate;  // what is owed is paid at the new speed
        const std::chrono::duration<double> elapsed = now - last_;
        tokens_ += elapsed.count() * static_cast<double>(rate_);
        last_ = now;
    }
    return true;
}

}  // namespace km::updater
