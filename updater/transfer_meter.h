// The bytes of one check's downloads, as its observer hears them: how many of how many, and how
// fast, at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

#include "updater/update_check.h"

namespace km::updater {

class TransferMeter {
  public:
    // Reports `total` bytes to fetch, none fetched yet.
    TransferMeter(CheckObserver& observer, std::uint64_t total);
    void add(std::uint64_t bytes);
    // More to fetch than planned: a continued file the server sent whole.
    void grow(std::uint64_t bytes) { total_ += bytes; }
    // The last report of downloads that are done, or of a check the player paused.
    void finish();
    void paused();

  private:
    using Clock = std::chrono::steady_clock;
    void report(Clock::time_point now, bool paused);

    CheckObserver& observer_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    Clock::time_point last_report_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;  // (when, done), oldest first
};

}  // namespace km::updater
