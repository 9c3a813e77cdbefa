// The pending copy of an executable is put in place at the next start without any further
// check, so a copy stopped in the middle must never be found under its `.update` name. The
// file-size limit kills the copying process (SIGXFSZ) exactly when the copy crosses it.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"
#include "updater/staging.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;

void stage_with_room_for_half(const std::string& staged, const std::string& destination) {
    const rlimit half{1 << 19, 1 << 19};
    setrlimit(RLIMIT_FSIZE, &half);
    install_staged_file(staged, destination, true);
    std::_Exit(0);
}

TEST(PendingCopyCut, KilledHalfwayLeavesNoPendingExecutable) {
    test::TempDir dir;
    const fs::path game = dir.write("Game.exe", "v1");
    const std::string staged = dir.write("updates/Game.exe", std::string(1 << 20, 'n')).string();
    EXPECT_EXIT(stage_with_room_for_half(staged, game.string()), testing::KilledBySignal(SIGXFSZ),
                "");
    EXPECT_FALSE(fs::exists(game.string() + ".update"));
    EXPECT_FALSE(apply_pending_update(game.string()));
    EXPECT_EQ(dir.read("Game.exe"), "v1");
}

}  // namespace
}  // namespace km::updater
