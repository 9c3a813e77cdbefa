// Starting the game client after a successful update check, then closing the launcher.
#include "launcher/game/launch.h"

#include <filesystem>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/log.h"
#include "launcher/common/update_bridge.h"
#include "launcher/common/worker.h"
#include "platform/platform.h"
#include "updater/staging.h"
#include "updater/update_check.h"

namespace km {
namespace {

// The mode as support reads it. The arguments themselves stay out of the log: only the map's
// name (letters, digits and underscores) is told.
std::string launch_mode(const std::string& extra) {
    if (extra.find(build::beta_marker) != std::string::npos)
        return "beta";
    for (const char* mode : {"--enter-map=", "--spectate-map="}) {
        if (extra.rfind(mode, 0) == 0)
            return std::string(mode[2] == 'e' ? "map " : "spectator ") +
                   extra.substr(std::char_traits<char>::length(mode));
    }
    return "normal";
}

void log_launch(const std::string& extra, const std::string& result) {
    log_event("launch", "mode=" + log_quoted(launch_mode(extra)) + " " + result);
}

}  // namespace

void launch_game(const std::string& extra) {
    const bool beta = extra.find(build::beta_marker) != std::string::npos;
    const std::string name = beta ? std::string(beta_game_exe) : launcher_config.game_exe;
    const std::string path = exe_path(name);

    updater::apply_pending_update(path, exe_dir);
    updater::remove_old_copy(path, exe_dir);

    // An error other than "not found" (say, access denied on the folder) means the client
    // cannot be started either; it is reported the same way.
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::u8path(path), ec)) {
        std::string message = "Game executable not found:\n" + path;
        if (beta)
            message +=
                "\n\nBeta client binary missing. Reabri el launcher para que el auto-update lo "
                "baje.";
        log_launch(extra, "missing " + log_quoted(path));
        platform::message_box(message, "Launcher", platform::mb_iconerror, true);
        return;
    }

    std::string parameters = launcher_config.game_args;
    if (!extra.empty()) {
        if (!parameters.empty())
            parameters += ' ';
        parameters += extra;
    }

    platform::set_environment_variable("KMASH_LAUNCH", build::launch_token);
    if (platform::start_game(path, parameters, exe_dir)) {
        log_launch(extra, "started " + log_quoted(path));
        platform::post_window_request(platform::WindowRequest::close);
    } else {
        log_launch(extra, "failed to start " + log_quoted(path));
        platform::message_box("Failed to launch game.", "Launcher", platform::mb_iconerror, true);
    }
}

void launch_worker(std::unique_ptr<std::string> extra) {
    // A quick test only: the check makes the real claim of the flag and refuses without any
    // event when another check got there first.
    const std::string arguments = extra ? *extra : std::string();
    if (updater::update_in_progress.load()) {
        log_launch(arguments, "not started: an update check was running");
        return;
    }
    if (!run_update_check_impl(false)) {
        log_launch(arguments, "not started: the update check failed");
        return;
    }
    launch_game(arguments);
}

void start_launch_worker(std::string extra) {
    start_worker([extra = std::make_unique<std::string>(std::move(extra))]() mutable {
        launch_worker(std::move(extra));
    });
}

}  // namespace km
