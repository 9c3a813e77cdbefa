// One update check, from the signed manifest to installed files.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace km::updater {

// Set while an update check runs.
extern std::atomic<bool> update_in_progress;

// One complete check; true when the installation ends up current. Worker threads only.
// Returns false at once, without any event, when another check holds the flag.
bool run_update_check_impl(bool repair);

bool create_staging_dir(const std::string& exe_dir);
void remove_staging_dir(const std::string& exe_dir);

}  // namespace km::updater
