#include "launcher/installation_claim.h"

#include <chrono>
#include <thread>

#include "platform/installation_lock.h"
#include "platform/platform.h"

namespace km {
namespace {

using Clock = std::chrono::steady_clock;

// A restart's old process ends at once after starting the new one; the old copy's removal and
// the runtime's shut-down take about a second, ten is a generous bound.
constexpr auto hand_over_limit = std::chrono::seconds(10);
// Two launchers started together: the one that won opens its window within this.
constexpr auto window_limit = std::chrono::seconds(5);
constexpr auto poll_pause = std::chrono::milliseconds(50);

// Never destroyed: the system gives the lock up when the process ends, whatever ends it.
platform::InstallationLock& held() {
    static auto* lock = new platform::InstallationLock;
    return *lock;
}

void note(bool handing_over) {
    held().write_note({platform::current_process_id(), handing_over});
}

}  // namespace

int claim_installation(const std::string& dir) {
    const auto start = Clock::now();
    for (;;) {
        switch (held().take(dir)) {
            case platform::InstallationLock::State::taken:
                note(false);
                return -1;
            case platform::InstallationLock::State::failed:
                return -1;
            case platform::InstallationLock::State::busy:
                break;
        }
        const auto waited = Clock::now() - start;
        platform::LockNote holder;
        const bool noted = platform::read_lock_note(dir, holder);
        if (noted && holder.handing_over) {
            if (waited >= hand_over_limit)
                return 1;  // as a restart that could not start
        } else if ((noted && platform::present_running_launcher(dir, holder.process)) ||
                   waited >= window_limit) {
            return 0;
        }
        std::this_thread::sleep_for(poll_pause);
    }
}

void hand_over_installation() {
    note(true);
}

void keep_installation() {
    note(false);
}

void release_installation() {
    held().release();
}

}  // namespace km
