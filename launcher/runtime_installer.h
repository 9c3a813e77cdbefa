// The first start on a system without the web view runtime: the player is asked, the installer
// shipped beside the launcher runs silently, and a new launcher starts once the runtime is there.
#pragma once

#include <string>

namespace km {

// True when a new launcher instance was started; every failure was told in a message box.
bool install_webview_runtime(const std::string& dir, const std::string& module_path);

}  // namespace km
