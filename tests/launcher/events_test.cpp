#include "launcher/common/events.h"

#include <gtest/gtest.h>

#include <chrono>
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
        {event_text::version("say \"hi\""), R"({"event":"version","value":"say \"hi\""})"},
        {event_text::settings(GameSettings{}),
         R"({"event":"settings","data":{"mode":"windowed","vsync":false,"unlockFps":true,"captureMouse":false}})"},
        {event_text::settings(GameSettings{"full\\screen", true, false, false}),
         R"({"event":"settings","data":{"mode":"full\\screen","vsync":true,"unlockFps":false,"captureMouse":false}})"},
        {event_text::banners({"a.png", "b \"c\".jpg"}),
         R"({"event":"banners","list":["a.png","b \"c\".jpg"]})"},
        {event_text::diagnostics(false, "a\"b\n"),
         R"({"event":"diagnostics","copied":false,"text":"a\"b\n"})"},
        {event_text::transfer(1, UINT64_MAX, 3, true),
         R"({"event":"transfer","done":1,"total":18446744073709551615,"rate":3,"paused":true})"},
        {event_text::download_limit(25), R"({"event":"downloadLimit","limit":25})"}};
    for (const auto& c : cases)
        EXPECT_EQ(c.first, c.second);
    // Cut at its buffer like snprintf.
    const std::string status(600, 'x');
    EXPECT_EQ(event_text::progress(status.c_str(), "working", 0.25),
              (R"({"event":"progress","status":")" + status).substr(0, 511));
}

TEST(EventText, JsonEscapeAndUtf16FollowTheirByteTables) {
    const char raw[] = "a\"b\\c\nd\b\t\f\r\x1f\x01\0\x7f/\xC3\xB1\xFF";
    EXPECT_EQ(json_escape(std::string(raw, sizeof raw - 1)),
              "a\\\"b\\\\c\\nd\\b\\t\\f\\r\\u001f\\u0001\\u0000\x7f/\xC3\xB1\xFF");
    // Like the system converter: every maximal ill-formed part becomes one U+FFFD.
    const char utf8[] =
        "a\0b\xC3\xB1\xE2\x80\x94\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\x80\xE2\x80x\xC0\xAF\xE0\x80\xAF"
        "\xED\xA0\x80\xF4\x90\x80\x80\xF0\x9F\x98\xC3";
    // Stray, cut before "x"; then overlong (2 + 3), surrogate (3), beyond U+10FFFF (4), cut (2).
    const std::u16string expected =
        std::u16string(u"a\0b\u00F1\u2014\U0001F600\U0010FFFF\uFFFD\uFFFDx", 12) +
        std::u16string(14, u'\uFFFD');
    // The web view is handed the wide text; its units are UTF-16 whatever the width of wchar_t.
    const std::wstring wide = utf8_to_wide(std::string(utf8, sizeof utf8 - 1));
    EXPECT_EQ(std::u16string(wide.begin(), wide.end()), expected);
}

TEST(Posting, RefusedPostIsLostButAReliablePostWaitsForRoomUntilTheWindowGoes) {
    fake::reset();
    fake::state().queue_limit = 1;
    send_updating(true);
    send_updating(false);  // queue full: lost
    std::thread window([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fake::drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto guard = fake::lock();
        fake::state().window = false;
    });
    const auto start = std::chrono::steady_clock::now();
    post_ui_event_reliably(event_text::update_complete(1, false));  // waits for the drain
    post_ui_event_reliably(event_text::updating(false));  // full again: gives up with the window
    window.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(fake::events(), (std::vector<std::string>{event_text::updating(true),
                                                        event_text::update_complete(1, false)}));
    fake::reset();
}

}  // namespace
}  // namespace km
