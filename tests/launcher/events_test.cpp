#include "launcher/events.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <thread>
#include <vector>

#include "launcher/config/game_settings.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/temp_dir.h"

namespace km {
namespace {

class Events : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
};

TEST_F(Events, EveryEventHasItsExactText) {
    struct Case {
        std::string actual;
        std::string expected;
    };
    const Case cases[] = {
        {event_text::progress("Checking for updates...", "working", 0.0),
         R"({"event":"progress","status":"Checking for updates...","state":"working","percent":0.000})"},
        {event_text::progress(nullptr, nullptr, 1.0),
         R"({"event":"progress","status":"","state":"idle","percent":1.000})"},
        {event_text::progress("a\"b", "error", 0.5),
         R"({"event":"progress","status":"a\"b","state":"error","percent":0.500})"},
        {event_text::progress("x", "success", 2.0 / 3.0),
         R"({"event":"progress","status":"x","state":"success","percent":0.667})"},
        {event_text::updating(true), R"({"event":"updating","isUpdating":true})"},
        {event_text::updating(false), R"({"event":"updating","isUpdating":false})"},
        {event_text::server_status(true), R"({"event":"serverStatus","online":true})"},
        {event_text::server_status(false), R"({"event":"serverStatus","online":false})"},
        {event_text::version("1.2.3"), R"({"event":"version","value":"1.2.3"})"},
        {event_text::version("say \"hi\""), R"({"event":"version","value":"say \"hi\""})"},
        {event_text::settings(GameSettings{}),
         R"({"event":"settings","data":{"mode":"windowed","vsync":false,"unlockFps":true,"captureMouse":false}})"},
        {event_text::settings(GameSettings{"full\\screen", true, false, true}),
         R"({"event":"settings","data":{"mode":"full\\screen","vsync":true,"unlockFps":false,"captureMouse":true}})"},
        {event_text::banners({}), R"({"event":"banners","list":[]})"},
        {event_text::banners({"a.png", "b \"c\".jpg"}),
         R"({"event":"banners","list":["a.png","b \"c\".jpg"]})"},
        {event_text::update_complete(0, false),
         R"({"event":"updateComplete","downloaded":0,"restartNeeded":false})"},
        {event_text::update_complete(-7, true),
         R"({"event":"updateComplete","downloaded":-7,"restartNeeded":true})"},
        {event_text::realm_status(R"({"a":1})"), R"({"event":"realmStatus","data":{"a":1}})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.actual, c.expected);
}

TEST_F(Events, ProgressIsCutAtItsBufferLikeSnprintf) {
    const std::string status(600, 'x');
    const std::string text = event_text::progress(status.c_str(), "working", 0.25);
    EXPECT_EQ(text.size(), 511u);
    EXPECT_EQ(text, (R"({"event":"progress","status":")" + status).substr(0, 511));
}

TEST_F(Events, FractionUsesAPointWhateverTheLocale) {
    // A toolkit may switch LC_NUMERIC to the user's locale; the page must still get JSON.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    bool switched = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252"}) {
        if (std::setlocale(LC_NUMERIC, name)) {
            switched = true;
            break;
        }
    }
    const std::string text = event_text::progress("s", "working", 0.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_NE(text.find("\"percent\":0.500}"), std::string::npos) << text;
    if (!switched)
        GTEST_LOG_(INFO) << "no comma locale installed; checked the C locale only";
}

TEST_F(Events, JsonEscapeFollowsTheByteTable) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"a\"b\\c\nd", "a\\\"b\\\\c\\nd"},
        {"\b\t\f\r", "\\b\\t\\f\\r"},
        {"\x1f", "\\u001f"},
        {"\x0b", "\\u000b"},
        {"\x1b", "\\u001b"},
        {"\x01", "\\u0001"},
        {std::string(1, '\0'), "\\u0000"},
        {"\x7f", "\x7f"},
        {"/", "/"},
        {"\xC3\xB1", "\xC3\xB1"},
        {"\xFF\xFE", "\xFF\xFE"},  // not validated
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json_escape(c.input), c.expected);
}

TEST_F(Events, Utf8ToUtf16MatchesTheSystemConverter) {
    struct Case {
        std::string input;
        std::u16string expected;
    };
    const Case cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"\xC3\xB1", u"\u00F1"},
        {"\xE2\x80\x94", u"\u2014"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},      // surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},      // highest code point
        {"\x80", u"\uFFFD"},                      // stray continuation byte
        {"\xC3", u"\uFFFD"},                      // truncated at the end
        {"\xE2\x80x", u"\uFFFDx"},                // truncated: one replacement for the prefix
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong form
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {"\xFF", u"\uFFFD"},
        {"\xF0\x9F\x98", u"\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_to_utf16(c.input), c.expected) << testing::PrintToString(c.input);
        const std::wstring wide = utf8_to_wide(c.input);
        EXPECT_EQ(std::u16string(wide.begin(), wide.end()), c.expected);
    }
}

TEST_F(Events, SendersPostThroughTheWindowInOrder) {
    send_progress("Checking for updates...", "working", 0.0);
    send_updating(true);
    send_server_status(false);
    send_version("1.0.0");
    send_banners({"x.png"});
    send_update_complete(3, true);
    send_realm_status("[]");
    const std::vector<std::string> expected = {
        event_text::progress("Checking for updates...", "working", 0.0),
        event_text::updating(true),
        event_text::server_status(false),
        event_text::version("1.0.0"),
        event_text::banners({"x.png"}),
        event_text::update_complete(3, true),
        event_text::realm_status("[]"),
    };
    EXPECT_EQ(fake::events(), expected);
}

TEST_F(Events, SettingsEventReadsSettingsIni) {
    test::TempDir dir;
    test::ScopedExeDir scope(dir.str());
    send_settings();  // no file yet: the defaults
    dir.write("settings.ini", "[display]\nmode = borderless\n[performance]\nvsync = 2\n");
    send_settings();
    const auto events = fake::events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], event_text::settings(GameSettings{}));
    EXPECT_EQ(
        events[1],
        R"({"event":"settings","data":{"mode":"borderless","vsync":true,"unlockFps":true,"captureMouse":false}})");
}

TEST_F(Events, EventsBeforeTheWindowExistsAreDropped) {
    fake::state().window = false;
    send_updating(true);
    post_ui_event_reliably(event_text::updating(false));  // gives up at once: no window
    EXPECT_TRUE(fake::events().empty());
}

TEST_F(Events, RefusedPostIsLostButAReliablePostWaitsForRoom) {
    {
        auto guard = fake::lock();
        fake::state().queue_limit = 1;
    }
    send_updating(true);
    send_updating(false);  // queue full: lost
    EXPECT_EQ(fake::events().size(), 1u);

    std::thread window([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fake::drain();
    });
    post_ui_event_reliably(event_text::update_complete(1, false));
    window.join();
    const auto events = fake::events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], event_text::update_complete(1, false));
}

TEST_F(Events, ReliablePostGivesUpWhenTheWindowGoes) {
    {
        auto guard = fake::lock();
        fake::state().queue_limit = 1;
    }
    send_updating(true);
    std::thread closer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto guard = fake::lock();
        fake::state().window = false;
    });
    const auto start = std::chrono::steady_clock::now();
    post_ui_event_reliably(event_text::updating(false));
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(fake::events().size(), 1u);
}

}  // namespace
}  // namespace km
