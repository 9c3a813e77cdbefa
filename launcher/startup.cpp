#include "launcher/startup.h"

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/log.h"
#include "launcher/config/launcher_config.h"
#include "launcher/installation_claim.h"
#include "launcher/runtime_installer.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "updater/download_control.h"
#include "updater/staging.h"

#include <chrono>

namespace km {
namespace {

bool is_separator(char c, bool windows_rules) {
    return c == '/' || (windows_rules && c == '\\');
}

// Length of the root name: "C:" for a drive, "\\server\share" for a network share.
std::size_t root_name_length(const std::string& path, bool windows_rules) {
    if (!windows_rules)
        return 0;
    const std::size_t n = path.size();
    if (n >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        return 2;
    }
    if (n >= 3 && is_separator(path[0], true) && is_separator(path[1], true) &&
        !is_separator(path[2], true)) {
        std::size_t i = 2;
        while (i < n && !is_separator(path[i], true))
            ++i;  // server
        if (i < n) {
            ++i;
            while (i < n && !is_separator(path[i], true))
                ++i;  // share
        }
        return i;
    }
    return 0;
}

// Lines still on their way to the disk when the process is about to end; never long.
constexpr std::chrono::milliseconds last_flush{500};

void log_restart_failed() {
    log_event("self-update", "restart failed: the new launcher did not start");
    log_flush(last_flush);
}

void log_start() {
    const std::string runtime = platform::webview_runtime_version();
    log_event("start", std::string("version=") + build::launcher_version +
                           " os=" + log_quoted(platform::os_description()) +
                           " webview=" + log_quoted(runtime.empty() ? "none" : runtime) +
                           " folder=" + log_quoted(exe_dir));
}

}  // namespace

std::string compute_exe_dir(const std::string& module_path, bool windows_rules) {
    const std::size_t n = module_path.size();
    std::size_t root_end = root_name_length(module_path, windows_rules);
    if (root_end < n && is_separator(module_path[root_end], windows_rules))
        ++root_end;
    if (root_end == n)
        return module_path;  // only a root: it is its own parent
    std::size_t end = n;
    while (end > root_end && !is_separator(module_path[end - 1], windows_rules))
        --end;
    while (end > root_end && is_separator(module_path[end - 1], windows_rules))
        --end;
    return module_path.substr(0, end);
}

void load_launcher_config() {
    const std::string path = exe_path("launcher.ini");
    load_config(path, launcher_config);
    if (launcher_config.host == build::former_default_host) {
        launcher_config.host = build::default_host;
        save_config(path, launcher_config);
    }
    if (!exists_quietly(path))
        save_config(path, launcher_config);
    updater::set_download_limit(static_cast<std::uint64_t>(launcher_config.download_limit) *
                                bytes_per_megabyte);
}

bool drag_strip_hit(int client_x, int client_y, int client_width) {
    // The page's title bar: its top rows, up to the minimise and close buttons at its right end.
    constexpr int strip_height = 36;
    constexpr int buttons_width = 92;
    if (client_y < 0 || client_y >= strip_height || client_x < 0)
        return false;
    return static_cast<long long>(client_x) < static_cast<long long>(client_width) - buttons_width;
}

int run_startup_before_window(const std::string& module_path) {
    exe_dir = compute_exe_dir(module_path, build::windows_path_rules);
    // Before anything is written: the pending self-update, the runtime installer's new start.
    if (const int code = claim_installation(exe_dir); code != -1)
        return code;
    // A second launcher, which ends above, writes nothing of its own into this one's log.
    log_open(exe_dir, platform::user_home_folder());
    log_start();
    if (!platform::webview_runtime_present()) {
        log_event("start", "no web view runtime: offering its installer");
        const int code = install_webview_runtime(exe_dir, module_path) ? 0 : 1;
        log_event("start", code == 0 ? "web view runtime installed: a new launcher was started"
                                     : "still no web view runtime: the launcher ends");
        log_flush(last_flush);
        return code;
    }
    const bool replaced = updater::apply_pending_update(module_path, exe_dir);
    updater::remove_old_copy(module_path, exe_dir);
    if (replaced) {
        log_event("self-update",
                  "finished the pending replacement of " + log_quoted(module_path) + "; restart");
        log_flush(last_flush);
        hand_over_installation();
        updater::relaunch_self(&log_restart_failed);
    }
    load_launcher_config();
    return -1;
}

void finish_after_window(int exit_code) {
    log_event("end", "exit code " + std::to_string(exit_code));
    log_flush(last_flush);
}

}  // namespace km
