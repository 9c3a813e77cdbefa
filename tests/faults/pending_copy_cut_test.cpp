// The pending copy of an executable is put in place at the next start without any further
// check, so a copy stopped in the middle must never be found under its `.update` name, nor may
// a copy that failed leave its partial file behind. The file-size limit stops the copy exactly
// when it crosses it: by killing the copying process (SIGXFSZ), or, with the signal ignored, as
// a full disk does (writes fail with EFBIG).
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "platform/paths.h"
#include "tests/support/temp_dir.h"
#include "updater/staging.h"

namespace km::updater {
namespace {

namespace fs = std::filesystem;

// Exits 0 when the copy failed as it should.
void stage_with_room_for_half(const std::string& staged, const std::string& destination,
                              bool killed) {
    const rlimit half{1 << 19, 1 << 19};
    if (!killed)
        std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &half);
    std::_Exit(install_staged_file(staged, destination, true, parent_of(destination)) ? 1 : 0);
}

TEST(PendingCopyCut, CutHalfwayLeavesNoPendingExecutable) {
    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "disk full");
        test::TempDir dir;
        const fs::path game = dir.write("Game.exe", "v1");
        const std::string staged =
            dir.write("updates/Game.exe", std::string(1 << 20, 'n')).string();
        const std::function<bool(int)> ended =
            killed ? std::function<bool(int)>(testing::KilledBySignal(SIGXFSZ))
                   : testing::ExitedWithCode(0);
        EXPECT_EXIT(stage_with_room_for_half(staged, game.string(), killed), ended, "");
        EXPECT_FALSE(fs::exists(game.string() + ".update"));
        EXPECT_EQ(fs::exists(game.string() + ".update.part"), killed);
        EXPECT_FALSE(apply_pending_update(game.string(), dir.str()));
        EXPECT_EQ(dir.read("Game.exe"), "v1");
    }
}

}  // namespace
}  // namespace km::updater
