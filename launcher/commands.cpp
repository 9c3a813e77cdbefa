#include "launcher/commands.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "km/build_config.h"
#include "launcher/beta/beta.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/log.h"
#include "launcher/common/update_bridge.h"
#include "launcher/common/worker.h"
#include "launcher/config/game_settings.h"
#include "launcher/feeds/feeds.h"
#include "launcher/game/launch.h"
#include "launcher/installation_claim.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "updater/download_control.h"
#include "updater/update_check.h"

namespace km {

namespace {

bool starts_with_ignoring_case(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size())
            return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

}  // namespace

std::string filter_map_name(const std::string& value) {
    std::string name;
    for (char c : value) {
        if (name.size() == 23)
            break;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_') {
            name += c;
        }
    }
    return name;
}

std::string launch_extra_arguments(const std::string& cmd, const std::string& message) {
    if (cmd == "launch")
        return json_get_bool(message, "betaMode", false) ? build::beta_marker : "";
    const std::string name = filter_map_name(json_get_string(message, "map"));
    if (name.empty())
        return {};
    return (cmd == "watchSpectator" ? "--spectate-map=" : "--enter-map=") + name;
}

GameSettings settings_from_command(const std::string& message) {
    const auto at = message.find("\"data\"");
    const std::string data = at == std::string::npos ? message : message.substr(at);
    GameSettings settings;
    settings.mode = json_get_string(data, "mode");
    if (settings.mode.empty())
        settings.mode = "windowed";
    settings.vsync = json_get_bool(data, "vsync", false);
    settings.unlimited_fps = json_get_bool(data, "unlockFps", true);
    settings.lock_mouse = json_get_bool(data, "captureMouse", false);
    return settings;
}

BetaLoginRequest beta_login_from_command(const std::string& message) {
    BetaLoginRequest request;
    request.username = json_get_string(message, "username");
    request.password = json_get_string(message, "password");
    request.remember = json_get_bool(message, "remember", false);
    return request;
}

bool is_openable_url(const std::string& url) {
    // The page is ours, but whatever it shows may come from the server; only web and mail
    // links may reach the shell, never a program or a file path.
    return starts_with_ignoring_case(url, "http://") ||
           starts_with_ignoring_case(url, "https://") || starts_with_ignoring_case(url, "mailto:");
}

bool download_limit_from_command(const std::string& message, int& limit) {
    const char* blanks = " \t\r\n";
    const std::string key = "\"limit\"";
    const auto found = message.find(key);
    if (found == std::string::npos)
        return false;
    auto at = message.find_first_not_of(blanks, found + key.size());
    if (at == std::string::npos || message[at] != ':')
        return false;
    at = message.find_first_not_of(blanks, at + 1);
    if (at == std::string::npos)
        return false;
    const auto end = message.find_first_of(",}] \t\r\n", at);
    return parse_download_limit(
        message.substr(at, end == std::string::npos ? std::string::npos : end - at), limit);
}

void send_ready_answers() {
    send_version(launcher_config.version);
    send_settings();
    send_saved_beta_creds();
    // The limit in force: the page may have changed it since start-up.
    post_ui_event(event_text::download_limit(
        static_cast<int>(updater::download_limit() / bytes_per_megabyte)));
}

std::string diagnostics_text() {
    std::string text = std::string("Keldmoor Ashvow launcher ") + build::launcher_version +
                       " (launcher.ini version " + launcher_config.version + ")\n";
    text += "Operating system: " + platform::os_description() + "\n";
    const std::string runtime = platform::webview_runtime_version();
    text += "Web view: " + (runtime.empty() ? std::string("none") : runtime) + "\n";
    text += "Installation: " +
            without_home(exe_dir, platform::user_home_folder(), build::windows_path_rules) + "\n";
    text += "\nLast lines of cache" + std::string(build::path_separator) + "launcher.log:\n";
    for (const std::string& line : log_tail(diagnostics_lines))
        text += line + "\n";
    return text;
}

void copy_diagnostics() {
    // Lines logged a moment ago are still on their way to the disk.
    log_flush(std::chrono::seconds(1));
    const std::string text = diagnostics_text();
    const bool copied = platform::set_clipboard_text(text);
    post_ui_event_reliably(event_text::diagnostics(copied, text));
}

void start_update_check(bool repair) {
    if (updater::update_in_progress.load())
        return;
    // Without a thread the click does nothing, as while a check runs.
    start_worker([repair] { run_update_check_impl(repair); });
}

namespace {

void dispatch(const std::string& cmd, const std::string& message) {
    if (cmd == "ready") {
        log_event("page", "ready");
        send_ready_answers();
        start_probe_server();
        start_fetch_banners();
        start_realm_poller();
    } else if (cmd == "launch" || cmd == "launchWithMap" || cmd == "watchSpectator") {
        start_launch_worker(launch_extra_arguments(cmd, message));
    } else if (cmd == "loginBeta") {
        start_beta_login(std::make_unique<BetaLoginRequest>(beta_login_from_command(message)));
    } else if (cmd == "clearBetaCreds") {
        std::string path = beta_creds_path();
        if (path.empty()) {
            path = exe_path("cache") + build::path_separator + "beta_creds.json";
        }
        std::error_code ec;
        if (!link_on_the_way(exe_dir, path))
            std::filesystem::remove(path, ec);
    } else if (cmd == "checkUpdates") {
        start_update_check(false);
    } else if (cmd == "repair") {
        start_update_check(true);
    } else if (cmd == "pauseDownload") {
        updater::request_download_pause();
    } else if (cmd == "setDownloadLimit") {
        int limit = 0;
        if (download_limit_from_command(message, limit)) {
            // From the next block on, in a check already downloading too.
            updater::set_download_limit(static_cast<std::uint64_t>(limit) * bytes_per_megabyte);
            save_download_limit(exe_path("launcher.ini"), launcher_config, limit);
            post_ui_event(event_text::download_limit(limit));
        }
    } else if (cmd == "saveSettings") {
        save_game_settings(game_settings_path(), settings_from_command(message));
    } else if (cmd == "openURL") {
        const std::string url = json_get_string(message, "url");
        if (is_openable_url(url))
            platform::shell_open(url);
    } else if (cmd == "minimize") {
        platform::minimize_window();
    } else if (cmd == "close") {
        platform::end_message_loop();
    } else if (cmd == "dragWindow") {
        platform::begin_window_drag();
    } else if (cmd == "restartNow") {
        const std::string self =
            "\"" + exe_dir + build::path_separator + build::launcher_exe_name + "\"";
        // The new launcher waits for this one's lock; one that did not start leaves this one
        // open rather than none.
        hand_over_installation();
        const bool started = platform::start_detached(self, exe_dir);
        log_event("self-update", started ? "restart: the player asked for it"
                                         : "restart failed: the new launcher did not start");
        if (started)
            platform::end_message_loop();
        else
            keep_installation();
    } else if (cmd == "openLogFolder") {
        // The folder the log lives in, made when the log could not make it, never a link's.
        const std::string folder = exe_path("cache");
        std::error_code ec;
        if (!link_on_the_way(exe_dir, folder)) {
            std::filesystem::create_directory(std::filesystem::u8path(folder), ec);
            platform::shell_open(folder);
        }
    } else if (cmd == "copyDiagnostics") {
        start_worker([] { copy_diagnostics(); });
    }
}

}  // namespace

void handle_page_command(const std::string& message) {
    const std::string cmd = json_get_string(message, "cmd");
    if (cmd.empty())
        return;
    try {
        dispatch(cmd, message);
    } catch (...) {
        // This runs inside the web view's message callback: a worker that could not be started
        // (no resources for a thread) or a failed allocation drops the command, nothing more.
    }
}

}  // namespace km
