#include "launcher/common/app_state.h"

#include "km/build_config.h"

namespace km {

std::string exe_dir;
LauncherConfig launcher_config;

std::string exe_path(const std::string& name) {
    return exe_dir + build::path_separator + name;
}

std::string game_settings_path() {
    return exe_path("settings.ini");
}

}  // namespace km
