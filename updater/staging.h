// Installing staged files, pending replacements of executables, and the launcher's own update.
#pragma once

#include <cstdint>
#include <string>

namespace km::updater {

// `root` is the installation folder the destination lies in: nothing is written, renamed or
// deleted through a link on the way from it.
bool install_staged_file(const std::string& staged, const std::string& destination, bool executable,
                         const std::string& root);
// A staged file that an interrupted check downloaded and that still holds the signed content:
// a regular file (not a link) whose SHA-256 is `sha256`. Its size goes to `size`.
bool staged_file_verified(const std::string& staged, const std::string& sha256,
                          std::uint64_t& size);
void make_writable(const std::string& path);
bool apply_pending_update(const std::string& destination, const std::string& root);
void remove_old_copy(const std::string& destination, const std::string& root);
// A new run of the launcher's own executable in place of this process; `on_failure` runs when
// that could not be started, just before the exit with code 1.
[[noreturn]] void relaunch_self(void (*on_failure)() = nullptr);
std::string get_module_path();

}  // namespace km::updater
