#include "tests/support/launcher/app_state_scope.h"

#include "launcher/common/app_state.h"
#include "launcher/installation_claim.h"

namespace km::test {

ScopedExeDir::ScopedExeDir(const std::string& dir) : saved_(km::exe_dir) {
    km::exe_dir = dir;
    km::launcher_config = LauncherConfig{};
}

ScopedExeDir::~ScopedExeDir() {
    // A start-up under test took the folder's lock; the folder must go with the test.
    km::release_installation();
    km::exe_dir = saved_;
    km::launcher_config = LauncherConfig{};
}

}  // namespace km::test
