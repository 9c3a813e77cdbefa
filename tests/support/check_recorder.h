// An observer of update checks that keeps what it was told, one line per report, in order:
//
//   "updating true"                                  updating(true)
//   "Checking a.txt (1/3) [working 0.333]"           progress, and final_progress at 1.000
//   "server true", "version 2.0.1", "complete 2 false", "reload", "restart"
//
// Transfer reports are kept apart (transfers()), with the moment each came.
//
// Checks report from their own threads; the record is taken under a lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "updater/update_check.h"

namespace km::test {

// The line of one progress report: its status, state and three-decimal fraction.
inline std::string progress_line(const std::string& status, const char* state, double fraction) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.3f", fraction);
    return status + " [" + state + " " + digits + "]";
}

struct TransferReport {
    std::uint64_t done, total, rate;
    bool paused;
    std::chrono::steady_clock::time_point at;
};

class CheckRecorder : public updater::CheckObserver {
  public:
    void updating(bool on) override { add(std::string("updating ") + (on ? "true" : "false")); }
    void progress(const char* status, const char* state, double fraction) override {
        add(progress_line(status, state, fraction));
    }
    void final_progress(const char* status, const char* state) override {
        add(progress_line(status, state, 1.0));
    }
    void server_status(bool online) override {
        add(std::string("server ") + (online ? "true" : "false"));
    }
    void version(const std::string& text) override { add("version " + text); }
    void update_complete(int downloaded, bool restart) override {
        add("complete " + std::to_string(downloaded) + (restart ? " true" : " false"));
    }
    void transfer(std::uint64_t done, std::uint64_t total, std::uint64_t rate,
                  bool paused) override {
        std::lock_guard<std::mutex> hold(mutex_);
        transfers_.push_back({done, total, rate, paused, std::chrono::steady_clock::now()});
    }
    void reload_page() override { add("reload"); }
    void restart_prompt() override { add("restart"); }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return lines_;
    }
    std::vector<TransferReport> transfers() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return transfers_;
    }
    void clear() {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.clear();
        transfers_.clear();
    }

  private:
    void add(std::string line) {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.push_back(std::move(line));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<TransferReport> transfers_;
};

}  // namespace km::test
