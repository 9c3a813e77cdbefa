// The update check as the page sees it: the launcher's own installation and server as the
// check's target, and the check's reports turned into page events and window requests.
#pragma once

#include <cstdint>
#include <string>

#include "updater/update_check.h"

namespace km {

// The update and content server of launcher.ini, with its scheme.
updater::ServerAddress content_server();
// exe_dir and the server of launcher.ini.
updater::UpdateTarget update_target();

// Posts what a check reports as the page's events. A progress event that would repeat the last
// one is dropped: a flood of download progress mostly repeats the same three-decimal fraction
// (a 1 GiB file makes some 260,000 calls, of which a few hundred change what the page shows),
// and the page could not tell those events apart. The last words of a check, the window
// requests and the updating events wait for room in a full queue instead of being lost.
class PageCheckObserver : public updater::CheckObserver {
  public:
    void updating(bool is_updating) override;
    void progress(const char* status, const char* state, double fraction) override;
    void final_progress(const char* status, const char* state) override;
    void server_status(bool online) override;
    void version(const std::string& text) override;
    void update_complete(int downloaded, bool restart_needed) override;
    void transfer(std::uint64_t done, std::uint64_t total, std::uint64_t rate,
                  bool paused) override;
    void reload_page() override;
    void restart_prompt() override;
    // Writes the check down in the launcher's log.
    void summary(const updater::CheckSummary& summary) override;

  private:
    // The last progress event, with its parts beside it so a repeat is dropped before any text
    // is built.
    std::string text_;
    std::string status_;
    std::string state_;
    std::string fraction_;
};

// The log line of one check: "ok" or "failed", then its numbers, its last words and, when a
// request ended it, that request's path and error.
std::string check_log_text(const updater::CheckSummary& summary);

// One check of the launcher's own installation, reported to the page. Worker threads only.
bool run_update_check_impl(bool repair);

}  // namespace km
