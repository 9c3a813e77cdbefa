#include "updater/transfer_meter.h"

#include <algorithm>

namespace km::updater {

namespace {

constexpr auto report_interval = std::chrono::milliseconds(100);
// The rate is taken over this much of the recent past: steady enough to read, quick to follow.
constexpr auto rate_window = std::chrono::seconds(3);

}  // namespace

TransferMeter::TransferMeter(CheckObserver& observer, std::uint64_t total)
    : observer_(observer), total_(total) {
    report(Clock::now(), false);
}

void TransferMeter::add(std::uint64_t bytes) {
    done_ += bytes;
    const auto now = Clock::now();
    if (now - last_report_ >= report_interval)
        report(now, false);
}

void TransferMeter::finish() {
    report(Clock::now(), false);
}

void TransferMeter::paused() {
    report(Clock::now(), true);
}

void TransferMeter::report(Clock::time_point now, bool paused) {
    last_report_ = now;
    samples_.emplace_back(now, done_);
    while (samples_.size() > 2 && samples_[1].first <= now - rate_window)
        samples_.pop_front();
    std::uint64_t rate = 0;
    const std::chrono::duration<double> span = now - samples_.front().first;
    if (!paused && span.count() > 0)
        rate = static_cast<std::uint64_t>(static_cast<double>(done_ - samples_.front().second) /
                                          span.count());
    // An entry without a signed size adds bytes no plan counted.
    observer_.transfer(done_, std::max(total_, done_), rate, paused);
}

}  // namespace km::updater
