// One update check, from the signed manifest to installed files.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "updater/http_connection.h"

namespace km::updater {

// What one check brings up to date and where it asks: the caller's, handed in whole, so that
// the check reads no state of the program around it.
struct UpdateTarget {
    std::string root;  // the installation folder: every manifest path is relative to it
    std::string host;
    int port = 80;
    std::string manifest = "/update.manifest.json";  // its signature lies at this path + ".sig"
    std::string game_exe = "Game_x64_win.exe";       // the game client, directly under root
    Scheme scheme = Scheme::http;                    // of every request to host:port
    // The free bytes of the volume `root` lies on; false when they cannot be told. Empty: the
    // system's own figure (tests hand in their own).
    std::function<bool(const std::string& root, std::uint64_t& free)> free_space;
};

// One check in numbers, for whoever writes down what happened.
struct CheckSummary {
    bool ok = false;
    bool repair = false;
    std::string host;  // the server the check asked
    int port = 0;
    Scheme scheme = Scheme::http;
    std::string version;            // the manifest's "major.minor.patch"; empty when none was read
    int checked = 0;                // local files compared with the manifest
    int downloaded = 0;             // files fetched from the server by this check
    int in_use = 0;                 // files left for the next launch
    std::uint64_t bytes = 0;        // body bytes received: manifest, signature and files
    std::int64_t milliseconds = 0;  // from the claim of the check to its last event
    std::string status;             // the check's last words to the player
    std::string state;              // and their state ("success", "warning", "error")
    // The request that ended the check, when one did: its path and its own error text
    // ("Could not establish connection", "HTTP 404"), or what was wrong with what it brought.
    std::string failed_path;
    std::string error;
};

// What a check tells whoever started it, in the order it happens. Called on the check's own
// thread; the observer decides what reaches the player, and how.
class CheckObserver {
  public:
    virtual ~CheckObserver() = default;
    // The check began (true) or ended (false): exactly one of each per check that ran.
    virtual void updating(bool is_updating) = 0;
    // Every step and every piece of download progress; the fraction runs from 0 to 1.
    virtual void progress(const char* status, const char* state, double fraction) = 0;
    // How the check ended, or a warning it ends with: its last words, at fraction 1.
    virtual void final_progress(const char* status, const char* state) = 0;
    virtual void server_status(bool online) = 0;
    virtual void version(const std::string& text) = 0;
    virtual void update_complete(int downloaded, bool restart_needed) = 0;
    // The bytes of the check's downloads: `done` of the `total` it has to fetch, the rate in
    // bytes per second over the last seconds, and `paused` in the last report of a check the
    // player paused. Once before the first download, at most about ten a second while
    // downloading, once when the downloads are done.
    virtual void transfer(std::uint64_t /*done*/, std::uint64_t /*total*/, std::uint64_t /*rate*/,
                          bool /*paused*/) {}
    // After the check has ended: the page's files changed, or the launcher's own executable.
    virtual void reload_page() = 0;
    virtual void restart_prompt() = 0;
    // Once per check that ran, when it has ended (after updating(false), before the window
    // requests). Observers that write nothing down need not listen.
    virtual void summary(const CheckSummary&) {}
};

// Set while an update check runs in this process.
extern std::atomic<bool> update_in_progress;

// One complete check of `target`; true when the installation ends up current. Worker threads
// only. Returns false at once, telling the observer nothing, when another check holds the flag.
bool run_update_check(const UpdateTarget& target, CheckObserver& observer, bool repair);

bool create_staging_dir(const std::string& root);
void remove_staging_dir(const std::string& root);

}  // namespace km::updater
