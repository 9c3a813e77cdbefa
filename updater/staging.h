// Installing staged files, pending replacements of executables, and the launcher's own update.
#pragma once

#include <string>

namespace km::updater {

bool install_staged_file(const std::string& staged, const std::string& destination,
                         bool executable);
void make_writable(const std::string& path);
bool apply_pending_update(const std::string& destination);
void remove_old_copy(const std::string& destination);
[[noreturn]] void relaunch_self();
std::string get_module_path();

}  // namespace km::updater
