// The platform seam's portable pieces: command lines split as Windows splits them, file URLs,
// and the rules of handing events to the page.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/cmdline.h"
#include "platform/files.h"
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

// A file or a link someone planted at the name of a file we create is neither written nor
// followed.
TEST(NewFile, NothingPlantedAtItsNameIsWrittenOrFollowed) {
    const test::TempDir dir;
    const std::filesystem::path target = dir.write("target", "precious");
    std::error_code ec;
    std::filesystem::create_symlink(target, dir.path() / "link", ec);
    for (const char* name : {"target", "link"}) {
        const bool planted =
            std::filesystem::exists(std::filesystem::symlink_status(dir.path() / name));
        EXPECT_TRUE(!planted ||
                    !platform::create_new_file((dir.path() / name).string(), "x", true));
    }
    EXPECT_EQ(dir.read("target"), "precious");
}

}  // namespace
}  // namespace km
