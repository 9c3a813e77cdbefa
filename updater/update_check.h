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

// What the progress of one download needs: the "Downloading" text sent before it, the file's
// zero-based place in the work queue and the queue's length. `last_posted`, when set, is the
// check's last progress text: a call whose event would repeat it posts nothing.
struct DownloadProgressContext {
    std::string status;
    int index = 0;
    int count = 1;
    std::string* last_posted = nullptr;
    // The fraction, as the event prints it, of this download's last call. Nothing else posts
    // progress between two calls of one download, so a call that would print the same fraction
    // would repeat the last event: it is dropped before any text is built (a 1 GiB file makes
    // some 260,000 calls, of which a few hundred change what the page shows).
    mutable std::string last_fraction;
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
