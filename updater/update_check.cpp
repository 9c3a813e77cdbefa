// Placeholder until the update check lands: claims nothing and reports failure.
#include "updater/update_check.h"

namespace km::updater {
std::atomic<bool> update_in_progress{false};
bool run_update_check_impl(bool) { return false; }
}  // namespace km::updater
