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

std::string summary(const GameSettings& s) {
    return s.mode + "|" + std::to_string(s.vsync) + std::to_string(s.unlimited_fps) +
           std::to_string(s.lock_mouse);
}

TEST(PageFields, StringsAreTheFirstMatchingMemberUnescaped) {
    struct Case {
        std::string text;
        const char* key;
        std::string expected;
    };
    const Case cases[] = {
        {R"({ "cmd" :  "ready" })", "cmd", "ready"},
        {R"({"cmd":"a","cmd":"b"})", "cmd", "a"},
        {R"({"cmd":)", "cmd", ""},
        {R"({"cmd":1,"b":"next"})", "cmd", "b"},  // a non-string reads the next string
        {R"({"u":"a\"b\/c\\d\ne\rf\tg"})", "u", "a\"b/c\\d\ne\rf\tg"},
        {R"({"u":"\b\u0041"})", "u", "bu0041"},
        {R"({"u":"ends\)", "u", "ends\\"},
        {R"("{\"cmd\":\"close\"}")", "cmd", ""}};  // a string posted by the page
    for (const auto& c : cases)
        EXPECT_EQ(json_get_string(c.text, c.key), c.expected) << testing::PrintToString(c.text);
}

TEST(PageFields, BooleansAreTheWordAfterTheColon) {
    struct Case {
        const char* text;
        bool fallback, expected;
    };
    const Case cases[] = {{R"({"b":true})", false, true},        {R"({"b":false})", true, false},
                          {"{\"b\": \t\r\n true}", false, true}, {R"({"b":trueish})", false, true},
                          {R"({"b":"true"})", false, false},     {R"({"b":tru)", false, false},
                          {R"({"b":   )", true, true},           {R"({"x":true})", false, false}};
    for (const auto& c : cases)
        EXPECT_EQ(json_get_bool(c.text, "b", c.fallback), c.expected) << c.text;
}

TEST(PageFields, WhatEachCommandTakesFromItsMessage) {
    const std::string beta = build::beta_marker;
    struct Case {
        const char* cmd;
        const char* message;
        std::string expected;
    };
    const Case cases[] = {
        {"launch", R"({"cmd":"launch"})", ""},
        {"launch", R"({"cmd":"launch","betaMode":true})", beta},
        {"launch", R"({"cmd":"launch","betaMode":"true"})", ""},
        {"launchWithMap", R"({"cmd":"launchWithMap","map":"../Arena 01!"})", "--enter-map=Arena01"},
        {"launchWithMap", R"({"cmd":"launchWithMap","map":"-..-"})", ""},
        {"launchWithMap", R"({"cmd":"launchWithMap","betaMode":true})", ""},
        {"watchSpectator", R"({"cmd":"watchSpectator","map":"x"})", "--spectate-map=x"}};
    for (const auto& c : cases)
        EXPECT_EQ(launch_extra_arguments(c.cmd, c.message), c.expected) << c.message;
    EXPECT_EQ(filter_map_name(std::string(30, 'a')), std::string(23, 'a'));
    EXPECT_EQ(filter_map_name(std::string(40, '-') + "\xC3\xA9t_9"), "t_9");

    EXPECT_EQ(summary(settings_from_command(R"({"data":{"vsync":true}})")), "windowed|110");
    EXPECT_EQ(summary(settings_from_command(R"({"data":{"mode":"full","unlockFps":false}})")),
              "full|000");
    // Members before "data" do not count once it is there; without it the whole message does.
    EXPECT_EQ(summary(settings_from_command(R"({"vsync":true,"data":{"mode":""}})")),
              "windowed|010");
    EXPECT_EQ(summary(settings_from_command(R"({"captureMouse":true})")), "windowed|011");

    const auto login =
        beta_login_from_command(R"({"username":"a","password":"p\"w","remember":true})");
    EXPECT_EQ(login.username + "|" + login.password + "|" + std::to_string(login.remember),
              "a|p\"w|1");
    EXPECT_FALSE(beta_login_from_command(R"({"cmd":"loginBeta"})").remember);
}

TEST(PageFields, OnlyWebAndMailLinksAreOpenable) {
    for (const char* url : {"http://127.0.0.1/news", "HTTPS://127.0.0.1/", "MailTo:a@b.c"})
        EXPECT_TRUE(is_openable_url(url)) << url;
    for (const char* url : {"", "file:///C:/Windows/System32/calc.exe", "C:\\Windows\\calc.exe",
                            "javascript:alert(1)", " http://x", "http:/x", "\\\\server\\x.exe",
                            "httpx://y", "mailto"})
        EXPECT_FALSE(is_openable_url(url)) << url;
}

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(Dispatch, CommandsMatchExactNamesAndOpenOnlyLinks) {
    for (const char* message :
         {R"({"cmd":"minimize"})", R"({"cmd":"Minimize"})", R"({"cmd":"minimize "})",
          R"({"command":"minimize"})", R"("minimize")", R"({"cmd":"nonsense"})",
          R"({"cmd":"dragWindow"})", R"({"cmd":"close"})", R"({"cmd":"openURL"})",
          R"({"cmd":"openURL","url":"https:\/\/127.0.0.1\/news"})",
          R"({"cmd":"openURL","url":"C:\\Windows\\System32\\cmd.exe"})"})
        handle_page_command(message);
    auto guard = fake::lock();
    const fake::State& s = fake::state();
    EXPECT_EQ(s.minimize_count, 1);
    EXPECT_EQ(s.drag_count, 1);
    EXPECT_EQ(s.quit_count, 1);
    EXPECT_EQ(s.shell_opens, std::vector<std::string>{"https://127.0.0.1/news"});
    EXPECT_TRUE(s.events.empty());
    EXPECT_TRUE(s.detached.empty());
}

TEST_F(Dispatch, RestartNowStartsTheLauncherAndEndsTheLoopEvenOnFailure) {
    fake::state().start_detached_result = false;
    handle_page_command(R"({"cmd":"restartNow"})");
    auto guard = fake::lock();
    const fake::State& s = fake::state();
    ASSERT_EQ(s.detached.size(), 1u);
    EXPECT_EQ(s.detached[0].command_line,
              "\"" + dir.str() + build::path_separator + build::launcher_exe_name + "\"");
    EXPECT_EQ(s.detached[0].directory, dir.str());
    EXPECT_EQ(s.quit_count, 1);
}

TEST_F(Dispatch, SaveSettingsWritesAndClearBetaCredsRemoves) {
    handle_page_command(
        R"({"cmd":"saveSettings","data":{"mode":"b","vsync":true,"unlockFps":false}})");
    GameSettings s;
    load_game_settings(s);
    EXPECT_EQ(summary(s), "b|100");
    const auto creds = dir.write("cache/beta_creds.json", R"({"u":"a"})");
    handle_page_command(R"({"cmd":"clearBetaCreds"})");
    EXPECT_FALSE(std::filesystem::exists(creds));
    handle_page_command(R"({"cmd":"clearBetaCreds"})");  // nothing there: silently nothing
}

TEST_F(Dispatch, ReadyAnswersVersionAndSettingsAtOnce) {
    launcher_config.version = "2.5.\"1\"";
    dir.write("settings.ini", "[display]\nmode = fullscreen\n");
    send_ready_answers();
    GameSettings settings;
    settings.mode = "fullscreen";
    EXPECT_EQ(fake::events(), (std::vector<std::string>{event_text::version("2.5.\"1\""),
                                                        event_text::settings(settings)}));
}

}  // namespace
}  // namespace km
