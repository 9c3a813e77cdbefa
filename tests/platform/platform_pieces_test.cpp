// The platform seam's portable pieces: command lines split as Windows splits them, file URLs,
// the rules of handing events to the page, and the installation's lock.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/cmdline.h"
#include "platform/installation_lock.h"
#include "platform/page_delivery.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsLikeTheCRuntimeAndTakesTheProgramNameLiterally) {
    // The first rows are the examples of Microsoft's own description of the rules.
    const std::pair<const char*, Args> cases[] = {
        {R"("abc" d e)", {"abc", "d", "e"}},
        {R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
        {R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
        {R"(a"b"" c d)", {R"(ab" c d)"}},
        {" \t ", {}},
        {"a \"\"\tb", {"a", "", "b"}},
        {R"(C:\Games\ "C:\Program Files\x\\")", {R"(C:\Games\)", R"(C:\Program Files\x\)"}}};
    for (const auto& c : cases)
        EXPECT_EQ(split_windows_command_line(c.first), c.second) << c.first;
    // A program name ending in a backslash before its closing quote stays a path.
    EXPECT_EQ(split_program_command_line(R"(  "C:\Games\" /silent a\"b)"),
              (Args{R"(C:\Games\)", "/silent", R"(a"b)"}));
    EXPECT_EQ(split_program_command_line(" \t"), Args{});
}

TEST(PageUrl, FileUrlWithForwardSlashesAndEscapes) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\Games\\Launcher", "file:///C:/Games/Launcher/web/index.html"},
        {"C:\\", "file:///C:/web/index.html"},
        {"/", "file:///web/index.html"},
        {"\\\\server\\share\\km", "file://server/share/km/web/index.html"},
        {"/home/jos\xC3\xA9 #2 100%", "file:///home/jos%C3%A9%20%232%20100%25/web/index.html"}};
    for (const auto& c : cases)
        EXPECT_EQ(page_url(c.first), c.second) << c.first;
}

TEST(PageDelivery, EventsBeforeTheViewAreDroppedAndTheSinkRunsUnderTheMutex) {
    deliver_ui_event(restart_prompt_event);
    EXPECT_FALSE(page_view_exists());
    std::vector<std::string> seen;
    set_page_sink([&](const std::string& json) {
        // Asked from another thread: try_lock by the owner itself would be undefined.
        std::thread([&] {
            seen.push_back(webview_mutex.try_lock() ? "free" : json);
            if (seen.back() == "free")
                webview_mutex.unlock();
        }).join();
    });
    EXPECT_TRUE(page_view_exists());
    deliver_ui_event(restart_prompt_event);
    set_page_sink(nullptr);
    EXPECT_EQ(seen, std::vector<std::string>{R"({"event":"restartPrompt"})"});
}

// A link planted where the lock file goes is removed, never followed: the lock is a plain file
// of the installation's own, held by one at a time, its note readable meanwhile.
TEST(InstallationLock, APlantedLinkIsRemovedAndOneHoldsItAtATime) {
    namespace fs = std::filesystem;
    using State = platform::InstallationLock::State;
    test::TempDir dir, elsewhere;
    elsewhere.write("keep.txt", "precious");
    const fs::path lock = dir.path() / platform::installation_lock_name;
    std::error_code ec;
    fs::create_symlink(elsewhere.path() / "keep.txt", lock, ec);  // not under Wine
    platform::InstallationLock first, second;
    ASSERT_EQ(first.take(dir.str()), State::taken);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lock)));
    EXPECT_EQ(elsewhere.read("keep.txt"), "precious");
    EXPECT_EQ(second.take(dir.str()), State::busy);
    ASSERT_TRUE(first.write_note({77, true}));
    platform::LockNote note;
    ASSERT_TRUE(platform::read_lock_note(dir.str(), note));
    EXPECT_EQ(std::to_string(note.process) + (note.handing_over ? " handing over" : ""),
              "77 handing over");
    first.release();
    EXPECT_EQ(second.take(dir.str()), State::taken);
}

}  // namespace
}  // namespace km
