#include "launcher/events.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "launcher/config/game_settings.h"
#include "platform/fake/fake_platform.h"

namespace km {
namespace {

TEST(EventText, EveryEventHasItsExactText) {
    const std::pair<std::string, std::string> cases[] = {
        {event_text::progress("a\"b", "error", 2.0 / 3.0),
         R"({"event":"progress","status":"a\"b","state":"error","percent":0.667})"},
        {event_text::progress(nullptr, nullptr, 1.0),
         R"({"event":"progress","status":"","state":"idle","percent":1.000})"},
        {event_text::updating(true), R"({"event":"updating","isUpdating":true})"},
        {event_text::server_status(false), R"({"event":"serverStatus","online":false})"},
        {event_text::version("say \"hi\""), R"({"event":"version","value":"say \"hi\""})"},
        {event_text::settings(GameSettings{}),
         R"({"event":"settings","data":{"mode":"windowed","vsync":false,"unlockFps":true,"captureMouse":false}})"},
        {event_text::settings(GameSettings{"full\\screen", true, false, false}),
         R"({"event":"settings","data":{"mode":"full\\screen","vsync":true,"unlockFps":false,"captureMouse":false}})"},
        {event_text::banners({}), R"({"event":"banners","list":[]})"},
        {event_text::banners({"a.png", "b \"c\".jpg"}),
         R"({"event":"banners","list":["a.png","b \"c\".jpg"]})"},
        {event_text::update_complete(-7, true),
         R"({"event":"updateComplete","downloaded":-7,"restartNeeded":true})"},
        {event_text::realm_status(R"({"a":1})"), R"({"event":"realmStatus","data":{"a":1}})"}};
    for (const auto& c : cases)
        EXPECT_EQ(c.first, c.second);
    // Cut at its buffer like snprintf.
    const std::string status(600, 'x');
    EXPECT_EQ(event_text::progress(status.c_str(), "working", 0.25),
              (R"({"event":"progress","status":")" + status).substr(0, 511));
}

TEST(EventText, FractionUsesAPointWhateverTheLocale) {
    // A toolkit may switch LC_NUMERIC to the user's locale; the page must still get JSON.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252"})
        if (std::setlocale(LC_NUMERIC, name))
            break;
    const std::string text = event_text::progress("s", "working", 0.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_NE(text.find("\"percent\":0.500}"), std::string::npos) << text;
}

TEST(EventText, JsonEscapeFollowsTheByteTable) {
    EXPECT_EQ(json_escape(std::string("a\"b\\c\nd\b\t\f\r\x1f\x01\0\x7f/\xC3\xB1\xFF", 19)),
              "a\\\"b\\\\c\\nd\\b\\t\\f\\r\\u001f\\u0001\\u0000\x7f/\xC3\xB1\xFF");
}

TEST(EventText, Utf8ToUtf16MatchesTheSystemConverter) {
    const std::pair<std::string, std::u16string> cases[] = {
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"\xC3\xB1\xE2\x80\x94", u"\u00F1\u2014"},
        {"\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", u"\U0001F600\U0010FFFF"},
        {"\x80", u"\uFFFD"},                      // stray continuation byte
        {"\xC3", u"\uFFFD"},                      // truncated at the end
        {"\xE2\x80x", u"\uFFFDx"},                // truncated: one replacement for the prefix
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong form
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {"\xF0\x9F\x98", u"\uFFFD"}};
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_to_utf16(c.first), c.second) << testing::PrintToString(c.first);
        const std::wstring wide = utf8_to_wide(c.first);
        EXPECT_EQ(std::u16string(wide.begin(), wide.end()), c.second);
    }
}

class Posting : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        fake::state().queue_limit = 1;
        send_updating(true);
        send_updating(false);  // queue full: lost
    }
    void TearDown() override { fake::reset(); }
};

TEST_F(Posting, RefusedPostIsLostButAReliablePostWaitsForRoom) {
    std::thread window([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fake::drain();
    });
    post_ui_event_reliably(event_text::update_complete(1, false));
    window.join();
    EXPECT_EQ(fake::events(), (std::vector<std::string>{event_text::updating(true),
                                                        event_text::update_complete(1, false)}));
}

TEST_F(Posting, ReliablePostGivesUpWhenTheWindowGoes) {
    std::thread closer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto guard = fake::lock();
        fake::state().window = false;
    });
    const auto start = std::chrono::steady_clock::now();
    post_ui_event_reliably(event_text::updating(false));
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    post_ui_event_reliably(event_text::updating(false));  // no window: gives up at once
    EXPECT_EQ(fake::events().size(), 1u);
}

}  // namespace
}  // namespace km
