// Starting the game client after a successful update check, then closing the launcher.
#include "launcher/game/launch.h"

#include <filesystem>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/update_bridge.h"
#include "launcher/common/worker.h"
#include "platform/platform.h"
#include "updater/staging.h"
#include "updater/update_check.h"

namespace km {

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
        platform::post_window_request(platform::WindowRequest::close);
    } else {
        platform::message_box("Failed to launch game.", "Launcher", platform::mb_iconerror, true);
    }
}

void launch_worker(std::unique_ptr<std::string> extra) {
    // A quick test only: the check makes the real claim of the flag and refuses without any
    // event when another check got there first.
    if (updater::update_in_progress.load())
        return;
    if (!run_update_check_impl(false))
        return;
    launch_game(extra ? *extra : std::string());
}

void start_launch_worker(std::string extra) {
    start_worker([extra = std::make_unique<std::string>(std::move(extra))]() mutable {
        launch_worker(std::move(extra));
    });
}

}  // namespace km
