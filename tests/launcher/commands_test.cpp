#include "launcher/commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/log.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/launcher/app_state_scope.h"
#include "tests/support/temp_dir.h"
#include "updater/download_control.h"

namespace km {
namespace {

std::string summary(const GameSettings& s) {
    return s.mode + "|" + std::to_string(s.vsync) + std::to_string(s.unlimited_fps) +
           std::to_string(s.lock_mouse);
}

TEST(PageFields, StringsAreTheFirstMatchingMemberUnescaped) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({ "u" :  "a" ,"u":"b"})", "a"},
        {R"({"u":)", ""},
        {R"({"u":1,"b":"next"})", "b"},  // a non-string reads the next string
        {R"({"u":"a\"b\/c\\d\ne\rf\tg\b\u0041"})", "a\"b/c\\d\ne\rf\tgbu0041"},
        {R"({"u":"ends\)", "ends\\"},
        {R"("{\"u\":\"close\"}")", ""}};  // a string posted by the page
    for (const auto& c : cases)
        EXPECT_EQ(json_get_string(c.first, "u"), c.second) << c.first;
}

TEST(PageFields, BooleansAreTheWordAfterTheColonOrTheFallback) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"b":true})", "11"},   {R"({"b":false})", "00"}, {"{\"b\": \t\r\n trueish}", "11"},
        {R"({"b":"true"})", "01"}, {R"({"b":tru)", "01"},    {R"({"b":   )", "01"},
        {R"({"x":true})", "01"}};
    for (const auto& c : cases)
        EXPECT_EQ((std::string{json_get_bool(c.first, "b", false) ? '1' : '0',
                               json_get_bool(c.first, "b", true) ? '1' : '0'}),
                  c.second)
            << c.first;
}

TEST(PageFields, WhatEachCommandTakesFromItsMessage) {
    const std::pair<std::string, std::string> launches[] = {
        {R"({"cmd":"launch"})", ""},
        {R"({"cmd":"launch","betaMode":true})", build::beta_marker},
        {R"({"cmd":"launchWithMap","map":"../Arena 01!"})", "--enter-map=Arena01"},
        {R"({"cmd":"launchWithMap","map":"-..-","betaMode":true})", ""},
        {R"({"cmd":"watchSpectator","map":"x"})", "--spectate-map=x"}};
    for (const auto& c : launches)
        EXPECT_EQ(launch_extra_arguments(json_get_string(c.first, "cmd"), c.first), c.second);
    EXPECT_EQ(filter_map_name(std::string(30, 'a')), std::string(23, 'a'));
    EXPECT_EQ(filter_map_name(std::string(40, '-') + "\xC3\xA9t_9"), "t_9");

    EXPECT_EQ(summary(settings_from_command(R"({"data":{"vsync":true}})")), "windowed|110");
    EXPECT_EQ(summary(settings_from_command(R"({"data":{"mode":"f","unlockFps":false}})")),
              "f|000");
    // Members before "data" do not count once it is there; without it the whole message does.
    EXPECT_EQ(summary(settings_from_command(R"({"vsync":true,"data":{"mode":""}})")),
              "windowed|010");
    EXPECT_EQ(summary(settings_from_command(R"({"captureMouse":true})")), "windowed|011");

    const auto login =
        beta_login_from_command(R"({"username":"a","password":"p\"w","remember":true})");
    EXPECT_EQ(login.username + "|" + login.password + std::to_string(login.remember), "a|p\"w1");
    EXPECT_FALSE(beta_login_from_command(R"({"cmd":"loginBeta"})").remember);
}

TEST(PageFields, OnlyWebAndMailLinksAreOpenable) {
    for (const char* url : {"http://127.0.0.1/news", "HTTPS://127.0.0.1/", "MailTo:a@b.c"})
        EXPECT_TRUE(is_openable_url(url)) << url;
    for (const char* url : {"", "file:///C:/Windows/System32/calc.exe", "C:\\Windows\\calc.exe",
                            "javascript:alert(1)", " http://x", "http:/x", "httpx://y", "mailto"})
        EXPECT_FALSE(is_openable_url(url)) << url;
}

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
    test::TempDir dir;
    test::ScopedExeDir scope{dir.str()};
};

TEST_F(Dispatch, CommandsMatchExactNamesAndDoTheirOneThing) {
    const auto creds = dir.write("cache/beta_creds.json", R"({"u":"a"})");
    fake::state().start_detached_result = false;  // restartNow keeps this launcher then
    for (const char* message :
         {R"({"cmd":"minimize"})", R"({"cmd":"Minimize"})", R"({"cmd":"minimize "})",
          R"({"command":"minimize"})", R"("minimize")", R"({"cmd":"nonsense"})",
          R"({"cmd":"dragWindow"})", R"({"cmd":"close"})", R"({"cmd":"restartNow"})",
          R"({"cmd":"openURL"})", R"({"cmd":"openURL","url":"https:\/\/127.0.0.1\/news"})",
          R"({"cmd":"openURL","url":"C:\\Windows\\System32\\cmd.exe"})",
          R"({"cmd":"saveSettings","data":{"mode":"b","vsync":true,"unlockFps":false}})",
          R"({"cmd":"clearBetaCreds"})", R"({"cmd":"clearBetaCreds"})",
          R"({"cmd":"openLogFolder"})", R"({"cmd":"pauseDownload"})"})
        handle_page_command(message);
    EXPECT_FALSE(std::filesystem::exists(creds));
    // None of them answers; ready answers with the configured version and the saved settings.
    launcher_config.version = "2.5";
    send_ready_answers();
    EXPECT_EQ(fake::events(), (std::vector<std::string>{event_text::version("2.5"),
                                                        event_text::settings({"b", true, false}),
                                                        event_text::download_limit(0)}));
    auto guard = fake::lock();
    const fake::State& s = fake::state();
    EXPECT_EQ(std::to_string(s.minimize_count) + std::to_string(s.drag_count) +
                  std::to_string(s.quit_count),
              "111");
    EXPECT_EQ(s.shell_opens,
              (std::vector<std::string>{"https://127.0.0.1/news", exe_path("cache")}));
    ASSERT_EQ(s.detached.size(), 1u);
    EXPECT_EQ(s.detached[0].command_line,
              "\"" + dir.str() + build::path_separator + build::launcher_exe_name + "\"");
    EXPECT_EQ(s.detached[0].directory, dir.str());
}

// The installation lies in the user's own folder here, whose name must never show.
TEST_F(Dispatch, CopyDiagnosticsCopiesTheLogsLastLinesAndAnswersWithThem) {
    log_open(dir.str(), dir.str());
    log_event("test", "a line in " + log_quoted(dir.str()));
    const std::string hidden = without_home(dir.str(), dir.str(), build::windows_path_rules);
    for (bool taken : {true, false}) {
        SCOPED_TRACE(taken);
        fake::reset();
        fake::state().clipboard_result = taken;
        fake::state().home = dir.str();
        handle_page_command(R"({"cmd":"copyDiagnostics"})");
        ASSERT_TRUE(fake::wait_for([](const fake::State& s) { return !s.events.empty(); }));
        auto guard = fake::lock();
        const fake::State& s = fake::state();
        ASSERT_EQ(s.clipboard.size(), 1u);
        const std::string& text = s.clipboard[0];
        EXPECT_EQ(s.events, std::vector<std::string>{event_text::diagnostics(taken, text)});
        EXPECT_EQ(text.rfind(std::string("Keldmoor Ashvow launcher ") + build::launcher_version, 0),
                  0u);
        for (const std::string& part :
             {std::string("TestOS 9.1 x64"), std::string("TestView 1.2.3"),
              "Installation: " + hidden + "\n", "Z test a line in \"" + hidden + "\"\n"})
            EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
        EXPECT_EQ(text.find(dir.str()), std::string::npos) << text;
    }
    log_open("", "");
}

// Only whole numbers from 0 to 1000 count. Each is in force at once, answered, and kept in
// launcher.ini, whose other lines stay as they were (0 by leaving the key out).
TEST_F(Dispatch, DownloadLimitIsTakenAnsweredAndKept) {
    dir.write("launcher.ini", "# mine\nhost=127.0.0.7\ndownload_limit=3\n");
    for (const char* limit : {"", R"(,"limit":-1)", R"(,"limit":2.5)", R"(,"limit":"5")",
                              R"(,"limit":1001)", R"(,"limit":1e3)", R"(,"limit":null)"})
        handle_page_command(std::string(R"({"cmd":"setDownloadLimit")") + limit + "}");
    EXPECT_TRUE(fake::events().empty());
    const auto ini = [this] {
        std::string text = dir.read("launcher.ini");
        std::erase(text, '\r');
        return text;
    };
    handle_page_command(R"({"cmd":"setDownloadLimit", "limit" : 1000 })");
    EXPECT_EQ(updater::download_limit(), 1000u << 20);
    EXPECT_EQ(ini(), "# mine\nhost=127.0.0.7\ndownload_limit=1000\n");
    handle_page_command(R"({"cmd":"setDownloadLimit","limit":0})");
    EXPECT_EQ(ini(), "# mine\nhost=127.0.0.7\n");
    EXPECT_EQ(fake::events(), (std::vector<std::string>{event_text::download_limit(1000),
                                                        event_text::download_limit(0)}));
}

// Odd and hostile commands of every shape are the fuzzing corpus's (tests/fuzz); these are the
// sizes it does not reach.
TEST_F(Dispatch, MegabyteCommandsAreReadWhole) {
    const std::size_t mb = 1 << 20;
    for (const std::string& text :
         {"{\"cmd\":\"" + std::string(mb, '\\'),
          std::string(mb / 4, '"') + ":" + std::string(mb, ' '),
          "{\"cmd\":\"saveSettings\",\"data\":{\"mode\":\"" + std::string(mb, 'm') + "\"}}"})
        handle_page_command(text);
    GameSettings s;
    load_game_settings(game_settings_path(), s);
    EXPECT_EQ(s.mode, std::string(mb, 'm'));
}

}  // namespace
}  // namespace km
