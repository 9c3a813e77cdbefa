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

// True when a component of `relative` ("/" or the platform's separator between components)
// below `base` is a symbolic link, junction or other reparse point. `base` itself is taken as
// it is. The launcher never writes, renames or deletes through such a link: one inside the
// installation folder would let a check write its files wherever the link points.
bool link_below(const std::string& base, const std::string& relative);
// The same for a path the launcher is about to write: every component below exe_dir when the
// path lies inside it, otherwise the path itself.
bool link_on_the_way(const std::string& path);

}  // namespace km
