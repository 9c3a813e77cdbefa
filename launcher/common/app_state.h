// Process-wide state written once during start-up, before any worker exists, and only read
// afterwards (so readers take no lock).
#pragma once

#include <string>

#include "launcher/config/launcher_config.h"

namespace km {

// The launcher's own directory, without a trailing separator.
extern std::string exe_dir;
extern LauncherConfig launcher_config;

// exe_dir + the platform's separator + name.
std::string exe_path(const std::string& name);
// The game's settings.ini, beside the launcher.
std::string game_settings_path();

}  // namespace km
