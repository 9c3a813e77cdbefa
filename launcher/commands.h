// Commands from the page: the field readers and the dispatcher.
#pragma once

#include <string>

#include "launcher/beta/beta.h"
#include "launcher/common/json_text.h"
#include "launcher/config/game_settings.h"

namespace km {

// Dispatches one command message (UTF-8 JSON text). Window's thread only.
void handle_page_command(const std::string& message);

// Starts the update worker unless a check is running.
void start_update_check(bool repair);

// Keeps a to z, A to Z, 0 to 9 and underscore, at most 23 of them.
std::string filter_map_name(const std::string& value);

// What the dispatcher reads from one command, kept apart so it can be checked without
// starting workers.
// The extra game arguments of launch, launchWithMap and watchSpectator.
std::string launch_extra_arguments(const std::string& cmd, const std::string& message);
// The settings that saveSettings writes.
GameSettings settings_from_command(const std::string& message);
BetaLoginRequest beta_login_from_command(const std::string& message);
// Only http, https and mailto targets (any letter case) are handed to the shell.
bool is_openable_url(const std::string& url);
// The limit of setDownloadLimit: false for a message without a whole number from 0 to 1000.
bool download_limit_from_command(const std::string& message, int& limit);
// The answers of ready that come from the window's thread: version, settings, saved beta
// credentials, download limit.
void send_ready_answers();

// What copyDiagnostics copies: the launcher's version, the system, the web view, the
// installation folder and the log's last lines.
std::string diagnostics_text();
// Builds that text once the log is on disk, puts it on the clipboard and answers the page with
// the diagnostics event. Worker threads only.
void copy_diagnostics();

}  // namespace km
