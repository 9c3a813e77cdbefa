// One update check, from the signed manifest to installed files.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace km::updater {

// Set while an update check runs.
extern std::atomic<bool> update_in_progress;

// One complete check; true when the installation ends up current. Worker threads only.
// Returns false at once, without any event, when another check holds the flag.
bool run_update_check_impl(bool repair);

bool create_staging_dir(const std::string& exe_dir);
void remove_staging_dir(const std::string& exe_dir);

// The check's last progress event: a progress call that would repeat it posts nothing. A flood
// of download progress calls mostly repeats the same three-decimal fraction (a 1 GiB file makes
// some 260,000 calls, of which a few hundred change what the page shows), and the page could not
// tell those events apart. The parts of the text are kept beside it, so that a repeat is dropped
// before any text is built.
struct ProgressLog {
    std::string text;
    std::string status;
    std::string state;
    std::string fraction;
};

// Sends one progress event unless it would repeat the last one `log` holds; without a log,
// always.
void post_progress(ProgressLog* log, const char* status, const char* state, double fraction);

// What the progress of one download needs: the "Downloading" text sent before it, the file's
// zero-based place in the work queue, the queue's length and the check's progress log.
struct DownloadProgressContext {
    std::string status;
    int index = 0;
    int count = 1;
    ProgressLog* log = nullptr;
};

// (min(received / total, 1) + index) / count; received / total counts as 0 when total is 0.
double download_fraction(std::uint64_t received, std::uint64_t total, int index, int count);
// Sends one progress event for a download; always true (a download is never cancelled here).
bool download_progress(const DownloadProgressContext& context, std::uint64_t received,
                       std::uint64_t total);

// Ask the window's thread to reload the page, or to offer the player a restart.
void request_page_reload();
void request_restart_prompt();

}  // namespace km::updater
