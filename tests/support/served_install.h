// An installation folder served by its own release folder over loopback: what every test of a
// whole check needs before it publishes a release.
#pragma once

#include <filesystem>
#include <string>

#include "tests/support/check_recorder.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_server.h"
#include "updater/update_check.h"

namespace km::test {

class ServedInstall {
  public:
    ServedInstall() : target_{install_.str(), server_.host(), server_.port()} {
        server_.serve_file_tree(release_.path());
    }
    // A failed assertion inside a check must not leave the next test locked out.
    ~ServedInstall() { updater::update_in_progress.store(false); }
    ServedInstall(const ServedInstall&) = delete;
    ServedInstall& operator=(const ServedInstall&) = delete;

    // One check of the installation, told to `recorded_`.
    bool check(bool repair = false) {
        return updater::run_update_check(target_, recorded_, repair);
    }

    std::string local(const std::string& path) const { return install_.read(path); }
    bool exists(const std::string& path) const {
        return std::filesystem::exists(install_.path() / path);
    }
    int requests_for(const std::string& prefix) const {
        int n = 0;
        for (const auto& request : server_.requests())
            n += request.path.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

  protected:
    TempDir install_, release_;
    TestServer server_;
    updater::UpdateTarget target_;
    CheckRecorder recorded_;
};

}  // namespace km::test
