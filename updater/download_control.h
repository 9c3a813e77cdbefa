// What the player steers while a check downloads: a speed limit and a pause. Both are
// process-wide (one check runs at a time) and are read by the download from block to block, so a
// change reaches a running check at its next block.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace km::updater {

// Bytes per second the check's downloads may take, 0 for no limit.
void set_download_limit(std::uint64_t bytes_per_second);
std::uint64_t download_limit();

// Asks the check that is downloading to stop after the block in hand. True when a check was
// downloading (it then ends paused); otherwise nothing happens.
bool request_download_pause();

// Held by a check while it downloads: pauses asked for while it lives are for this check.
class DownloadSession {
  public:
    DownloadSession();
    ~DownloadSession();
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;
    bool pause_requested() const;
};

// A token bucket over download_limit(), read afresh for every block. It holds at most a tenth
// of a second of the limit (and at least one block), so a pause in the transfer never buys a
// burst above it.
class DownloadThrottle {
  public:
    // Waits until `bytes` may be taken; false when `stop` said so while waiting (checked every
    // 50 ms at most), so a pause is not held up by the limit.
    bool take(std::size_t bytes, const std::function<bool()>& stop);

  private:
    using Clock = std::chrono::steady_clock;
    double tokens_ = 0;
    std::uint64_t rate_ = 0;
    Clock::time_point last_{};
};

}  // namespace km::updater
