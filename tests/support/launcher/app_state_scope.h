// The launcher's process-wide state for one test: what start-up sets once, set per test and
// put back afterwards. Only tests of the launcher itself use this; the updater's tests hand
// their check a target.
#pragma once

#include <string>

#include "launcher/common/app_state.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/served_install.h"

namespace km::test {

// exe_dir is `dir` for the life of the object, and launcher_config its defaults.
class ScopedExeDir {
  public:
    explicit ScopedExeDir(const std::string& dir);
    ~ScopedExeDir();
    ScopedExeDir(const ScopedExeDir&) = delete;
    ScopedExeDir& operator=(const ScopedExeDir&) = delete;

  private:
    std::string saved_;
};

// A served installation that is the launcher's own: exe_dir is the installation and
// launcher.ini's server is the test server, so commands and workers act on it.
class ServedLauncher : public ServedInstall {
  public:
    // Inline, so that programs linking a real platform (the Windows tests) never pull in the
    // recording one through this file.
    ServedLauncher() {
        fake::reset();
        launcher_config.host = server_.host();
        launcher_config.port = server_.port();
    }

  protected:
    ScopedExeDir scope_{install_.str()};
};

}  // namespace km::test
