#include "launcher/commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "km/build_config.h"
#include "launcher/app_state.h"
#include "launcher/events.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

TEST(JsonGetString, ReadsTheFirstMatchingMember) {
    struct Case {
        std::string text;
        const char* key;
        std::string expected;
    };
    const Case cases[] = {
        {R"({"cmd":"ready"})", "cmd", "ready"},
        {R"({ "cmd" :  "ready" })", "cmd", "ready"},
        {R"({"cmd":"a","cmd":"b"})", "cmd", "a"},
        {R"({"x":1})", "cmd", ""},
        {R"({"cmd")", "cmd", ""},
        {R"({"cmd":)", "cmd", ""},
        {R"({"cmd":1,"b":"next"})", "cmd", "b"},  // a non-string reads the next string
        {R"({"cmd":"open)", "cmd", "open"},       // no closing quote: to the end
        {R"({"u":"a\"b\/c\\d\ne\rf\tg"})", "u", "a\"b/c\\d\ne\rf\tg"},
        {R"({"u":"\b\u0041"})", "u", "bu0041"},
        {R"({"u":"ends\)", "u", "ends\\"},  // lone backslash at the very end
        {R"({"u":"a\\"})", "u", "a\\"},
        {std::string("{\"u\":\"a\0b\"}", 10), "u", std::string("a\0b", 3)},
        {R"("cmd")", "cmd", ""},
        {R"("{\"cmd\":\"close\"}")", "cmd", ""},  // a string posted by the page
        {R"({"url":"http:\/\/127.0.0.1\/x"})", "url", "http://127.0.0.1/x"},
        {"", "cmd", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_get_string(c.text, c.key), c.expected) << testing::PrintToString(c.text);
    }
}

TEST(JsonGetBool, ReadsTheWordAfterTheColon) {
    struct Case {
        std::string text;
        bool default_value;
        bool expected;
    };
    const Case cases[] = {
        {R"({"b":true})", false, true},
        {R"({"b":false})", true, false},
        {"{\"b\": \t\r\n true}", false, true},
        {R"({"b":trueish})", false, true},
        {R"({"b":"true"})", false, false},
        {R"({"b":1})", false, false},
        {R"({"b":tru)", true, true},
        {R"({"b":fals)", true, true},
        {R"({"b":)", true, true},
        {R"({"b":   )", false, false},
        {R"({"b")", true, true},
        {R"({"x":true})", false, false},
        {"", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_get_bool(c.text, "b", c.default_value), c.expected) << c.text;
    }
}

TEST(FilterMapName, KeepsLettersDigitsAndUnderscoreUpTo23) {
    EXPECT_EQ(filter_map_name("arena_01"), "arena_01");
    EXPECT_EQ(filter_map_name("../Arena 01!"), "Arena01");
    EXPECT_EQ(filter_map_name(std::string(30, 'a')), std::string(23, 'a'));
    EXPECT_EQ(filter_map_name("-.-..--"), "");
    EXPECT_EQ(filter_map_name("\xC3\xA9t\xC3\xA9"), "t");
    EXPECT_EQ(filter_map_name(std::string(40, '-') + "ab"), "ab");
}

TEST(CommandArguments, LaunchArgumentsFromTheMessage) {
    struct Case {
        const char* cmd;
        std::string message;
        std::string expected;
    };
    const std::string beta = build::beta_marker;
    const Case cases[] = {
        {"launch", R"({"cmd":"launch"})", ""},
        {"launch", R"({"cmd":"launch","betaMode":true})", beta},
        {"launch", R"({"cmd":"launch","betaMode":false})", ""},
        {"launch", R"({"cmd":"launch","betaMode":"true"})", ""},
        {"launchWithMap", R"({"cmd":"launchWithMap","map":"arena_01"})", "--enter-map=arena_01"},
        {"launchWithMap", R"({"cmd":"launchWithMap","map":"../Arena 01!"})", "--enter-map=Arena01"},
        {"launchWithMap", R"({"cmd":"launchWithMap","map":"-..-"})", ""},
        {"launchWithMap", R"({"cmd":"launchWithMap","betaMode":true})", ""},
        {"watchSpectator", R"({"cmd":"watchSpectator","map":"x"})", "--spectate-map=x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(launch_extra_arguments(c.cmd, c.message), c.expected) << c.message;
    }
    EXPECT_EQ(beta, std::string("--server=") + build::beta_host);
}

TEST(CommandArguments, SaveSettingsReadsTheDataObject) {
    GameSettings s = settings_from_command(R"({"cmd":"saveSettings","data":{"vsync":true}})");
    EXPECT_EQ(s.mode, "windowed");
    EXPECT_TRUE(s.vsync);
    EXPECT_TRUE(s.unlimited_fps);
    EXPECT_FALSE(s.lock_mouse);

    s = settings_from_command(
        R"({"cmd":"saveSettings","data":{"mode":"fullscreen","unlockFps":false}})");
    EXPECT_EQ(s.mode, "fullscreen");
    EXPECT_FALSE(s.vsync);
    EXPECT_FALSE(s.unlimited_fps);
    EXPECT_FALSE(s.lock_mouse);

    // Members before "data" do not count once it is there.
    s = settings_from_command(R"({"vsync":true,"cmd":"saveSettings","data":{"mode":""}})");
    EXPECT_EQ(s.mode, "windowed");
    EXPECT_FALSE(s.vsync);

    // Without "data" the whole message is read.
    s = settings_from_command(R"({"cmd":"saveSettings","captureMouse":true})");
    EXPECT_TRUE(s.lock_mouse);
}

TEST(CommandArguments, BetaLoginTakesValuesAsTheyAre) {
    BetaLoginRequest r = beta_login_from_command(R"({"cmd":"loginBeta"})");
    EXPECT_EQ(r.username, "");
    EXPECT_EQ(r.password, "");
    EXPECT_FALSE(r.remember);
    r = beta_login_from_command(
        R"({"cmd":"loginBeta","username":"ana","password":"p\"w","remember":true})");
    EXPECT_EQ(r.username, "ana");
    EXPECT_EQ(r.password, "p\"w");
    EXPECT_TRUE(r.remember);
}

TEST(CommandArguments, OnlyWebAndMailLinksAreOpenable) {
    for (const char* url :
         {"http://127.0.0.1/news", "HTTPS://127.0.0.1/", "mailto:a@b.c", "Http://x", "MailTo:x"}) {
        EXPECT_TRUE(is_openable_url(url)) << url;
    }
    for (const char* url : {"", "file:///C:/Windows/System32/calc.exe", "C:\\Windows\\calc.exe",
                            "calc.exe", "javascript:alert(1)", " http://x", "http:/x",
                            "ms-settings:", "\\\\server\\share\\x.exe", "httpx://y"}) {
        EXPECT_FALSE(is_openable_url(url)) << url;
    }
}

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(Dispatch, WindowCommandsMatchExactNamesOnly) {
    handle_page_command(R"({"cmd":"minimize"})");
    handle_page_command(R"({"cmd":"Minimize"})");
    handle_page_command(R"({"cmd":"minimize "})");
    handle_page_command(R"({"cmd":""})");
    handle_page_command(R"({"command":"minimize"})");
    handle_page_command(R"("minimize")");
    handle_page_command(R"({"cmd":"nonsense"})");
    handle_page_command(R"({"cmd":"dragWindow"})");
    handle_page_command(R"({"cmd":"close"})");
    auto guard = fake::lock();
    const fake::State& s = fake::state();
    EXPECT_EQ(s.minimize_count, 1);
    EXPECT_EQ(s.drag_count, 1);
    EXPECT_EQ(s.quit_count, 1);
    EXPECT_TRUE(s.events.empty());
    EXPECT_TRUE(s.shell_opens.empty());
    EXPECT_TRUE(s.detached.empty());
}

TEST_F(Dispatch, OpenUrlUnescapesAndFiltersTargets) {
    handle_page_command(R"({"cmd":"openURL","url":"https:\/\/127.0.0.1\/news"})");
    handle_page_command(R"({"cmd":"openURL","url":""})");
    handle_page_command(R"({"cmd":"openURL"})");
    handle_page_command(R"({"cmd":"openURL","url":"C:\\Windows\\System32\\cmd.exe"})");
    handle_page_command(R"({"cmd":"openURL","url":"file:///etc/passwd"})");
    auto guard = fake::lock();
    EXPECT_EQ(fake::state().shell_opens, std::vector<std::string>{"https://127.0.0.1/news"});
}

TEST_F(Dispatch, RestartNowStartsTheLauncherAndEndsTheLoopEvenOnFailure) {
    handle_page_command(R"({"cmd":"restartNow"})");
    {
        auto guard = fake::lock();
        fake::state().start_detached_result = false;
    }
    handle_page_command(R"({"cmd":"restartNow"})");
    auto guard = fake::lock();
    const fake::State& s = fake::state();
    ASSERT_EQ(s.detached.size(), 2u);
    EXPECT_EQ(s.detached[0].command_line,
              "\"" + dir.str() + build::path_separator + build::launcher_exe_name + "\"");
    EXPECT_EQ(s.detached[0].directory, dir.str());
    EXPECT_EQ(s.quit_count, 2);
}

TEST_F(Dispatch, SaveSettingsWritesSettingsIni) {
    handle_page_command(
        R"({"cmd":"saveSettings","data":{"mode":"borderless","vsync":true,"unlockFps":false,"captureMouse":true}})");
    GameSettings s;
    load_game_settings(s);
    EXPECT_EQ(s.mode, "borderless");
    EXPECT_TRUE(s.vsync);
    EXPECT_FALSE(s.unlimited_fps);
    EXPECT_TRUE(s.lock_mouse);
}

TEST_F(Dispatch, ClearBetaCredsRemovesTheFileAndIgnoresItsAbsence) {
    const auto creds = dir.write("cache/beta_creds.json", R"({"username":"a"})");
    handle_page_command(R"({"cmd":"clearBetaCreds"})");
    EXPECT_FALSE(std::filesystem::exists(creds));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "cache"));
    handle_page_command(R"({"cmd":"clearBetaCreds"})");  // nothing there: silently nothing
}

TEST_F(Dispatch, ReadyAnswersVersionAndSettingsAtOnce) {
    launcher_config.version = "2.5.\"1\"";
    dir.write("settings.ini", "[display]\nmode = fullscreen\n");
    send_ready_answers();
    const auto events = fake::events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], event_text::version("2.5.\"1\""));
    EXPECT_EQ(
        events[1],
        R"({"event":"settings","data":{"mode":"fullscreen","vsync":false,"unlockFps":true,"captureMouse":false}})");
}

}  // namespace
}  // namespace km
