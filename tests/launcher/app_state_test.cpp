#include "launcher/app_state.h"

#include <gtest/gtest.h>

#include "km/build_config.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

TEST(AppState, ExePathJoinsWithThePlatformSeparator) {
    test::ScopedExeDir scope("base");
    EXPECT_EQ(exe_path("launcher.ini"), std::string("base") + build::path_separator + "launcher.ini");
}

TEST(AppState, DefaultConfigUsesTheBuildsLoopbackHost) {
    LauncherConfig config;
    EXPECT_EQ(config.host, build::default_host);
    EXPECT_EQ(std::string(build::default_host).size(), 13u);
    EXPECT_EQ(std::string(build::former_default_host).size(), 12u);
}

}  // namespace
}  // namespace km
