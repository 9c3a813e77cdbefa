#include "tests/support/launcher/app_state_scope.h"

#include "launcher/common/app_state.h"

namespace km::test {

ScopedExeDir::ScopedExeDir(const std::string& dir) : saved_(km::exe_dir) {
    km::exe_dir = dir;
    km::launcher_config = LauncherConfig{};
}

ScopedExeDir::~ScopedExeDir() {
    km::exe_dir = saved_;
    km::launcher_config = LauncherConfig{};
}

}  // namespace km::test
