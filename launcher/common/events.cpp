#include "launcher/common/events.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "launcher/common/app_state.h"
#include "launcher/config/game_settings.h"
#include "platform/platform.h"

namespace km {
namespace {

const char* bool_word(bool value) {
    return value ? "true" : "false";
}

void append_utf16(std::u16string& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out.push_back(static_cast<char16_t>(code_point));
    } else {
        code_point -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
    }
}

}  // namespace

// UTF-8 to UTF-16 the way Windows' converter does it: every maximal ill-formed subpart
// (a stray continuation byte, a truncated sequence, an overlong form, an encoded surrogate,
// anything beyond U+10FFFF) becomes one U+FFFD, and NUL bytes are converted like any other.
std::u16string utf8_to_utf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        int length = 0;
        char32_t code_point = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            code_point = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            code_point = b0 & 0x0F;
            if (b0 == 0xE0)
                low = 0xA0;  // no overlong forms
            if (b0 == 0xED)
                high = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            code_point = b0 & 0x07;
            if (b0 == 0xF0)
                low = 0x90;  // no overlong forms
            if (b0 == 0xF4)
                high = 0x8F;  // nothing beyond U+10FFFF
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool complete = true;
        for (int k = 1; k < length; ++k, ++j) {
            const unsigned char lo = k == 1 ? low : 0x80;
            const unsigned char hi = k == 1 ? high : 0xBF;
            if (j >= n) {
                complete = false;
                break;
            }
            const auto b = static_cast<unsigned char>(text[j]);
            if (b < lo || b > hi) {
                complete = false;
                break;
            }
            code_point = (code_point << 6) | (b & 0x3F);
        }
        if (complete) {
            append_utf16(out, code_point);
        } else {
            out.push_back(u'\uFFFD');
        }
        i = j;
    }
    return out;
}

std::wstring utf8_to_wide(const std::string& text) {
    // UTF-16 code units in both builds, so what the page sees does not depend on the width
    // of wchar_t.
    const std::u16string units = utf8_to_utf16(text);
    return std::wstring(units.begin(), units.end());
}

void post_ui_event(const std::string& json) {
    platform::post_ui_event_text(json);
}

void post_reliably(const std::function<bool()>& post) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::seconds(10);
    auto pause = std::chrono::milliseconds(1);
    while (!post()) {
        if (!platform::window_exists() || clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(20))
            pause *= 2;
    }
}

void post_ui_event_reliably(const std::string& json) {
    post_reliably([&json] { return platform::post_ui_event_text(json); });
}

namespace event_text {

// "%.3f" as the C locale prints it. snprintf would follow the process locale, which a GUI
// toolkit may have set to one with a decimal comma; to_chars never looks at the locale.
std::string fraction(double value) {
    char buffer[384];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    if (result.ec != std::errc())
        return "0.000";
    return std::string(buffer, result.ptr);
}

std::string progress(const char* status, const char* state, double fraction) {
    std::string out;
    out.reserve(160);
    append_progress(out, status, state, fraction);
    return out;
}

void append_progress(std::string& out, const char* status, const char* state,
                     double fraction_value) {
    // Built by appending rather than through snprintf: an update check of a large installation
    // sends one of these per file. The cut at 511 bytes is the one a 512-byte buffer would make.
    constexpr std::size_t buffer_size = 512;
    const std::size_t start = out.size();
    out += "{\"event\":\"progress\",\"status\":\"";
    append_json_escaped(out, status ? status : "");
    out += "\",\"state\":\"";
    out += state ? state : "idle";
    out += "\",\"percent\":";
    out += fraction(fraction_value);
    out += '}';
    if (out.size() - start > buffer_size - 1)
        out.resize(start + buffer_size - 1);
}

std::string updating(bool is_updating) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "{\"event\":\"updating\",\"isUpdating\":%s}",
                  bool_word(is_updating));
    return buffer;
}

std::string server_status(bool online) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "{\"event\":\"serverStatus\",\"online\":%s}",
                  bool_word(online));
    return buffer;
}

std::string version(const std::string& value) {
    return "{\"event\":\"version\",\"value\":\"" + json_escape(value) + "\"}";
}

std::string settings(const GameSettings& settings) {
    std::string out = "{\"event\":\"settings\",\"data\":{";
    out += "\"mode\":\"" + json_escape(settings.mode) + "\",";
    out += "\"vsync\":";
    out += bool_word(settings.vsync);
    out += ",\"unlockFps\":";
    out += bool_word(settings.unlimited_fps);
    out += ",\"captureMouse\":";
    out += bool_word(settings.lock_mouse);
    out += "}}";
    return out;
}

std::string banners(const std::vector<std::string>& list) {
    std::string out = "{\"event\":\"banners\",\"list\":[";
    bool first = true;
    for (const auto& item : list) {
        if (!first)
            out += ',';
        first = false;
        out += '"';
        out += json_escape(item);
        out += '"';
    }
    out += "]}";
    return out;
}

std::string update_complete(int downloaded, bool restart_needed) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer,
                  "{\"event\":\"updateComplete\",\"downloaded\":%d,\"restartNeeded\":%s}",
                  downloaded, bool_word(restart_needed));
    return buffer;
}

std::string realm_status(const std::string& document) {
    std::string out;
    out.reserve(document.size() + 32);
    out += "{\"event\":\"realmStatus\",\"data\":";
    out += document;
    out += '}';
    return out;
}

std::string diagnostics(bool copied, const std::string& text) {
    return std::string("{\"event\":\"diagnostics\",\"copied\":") + bool_word(copied) +
           ",\"text\":\"" + json_escape(text) + "\"}";
}

std::string transfer(std::uint64_t done, std::uint64_t total, std::uint64_t rate, bool paused) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer,
                  "{\"event\":\"transfer\",\"done\":%llu,\"total\":%llu,\"rate\":%llu,"
                  "\"paused\":%s}",
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  static_cast<unsigned long long>(rate), bool_word(paused));
    return buffer;
}

std::string download_limit(int megabytes_per_second) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "{\"event\":\"downloadLimit\",\"limit\":%d}",
                  megabytes_per_second);
    return buffer;
}

}  // namespace event_text

void send_updating(bool is_updating) {
    post_ui_event(event_text::updating(is_updating));
}

void send_server_status(bool online) {
    post_ui_event(event_text::server_status(online));
}

void send_version(const std::string& value) {
    post_ui_event(event_text::version(value));
}

void send_settings() {
    GameSettings settings;
    load_game_settings(game_settings_path(), settings);
    post_ui_event(event_text::settings(settings));
}

void send_banners(const std::vector<std::string>& list) {
    post_ui_event(event_text::banners(list));
}

void send_realm_status(const std::string& document) {
    post_ui_event(event_text::realm_status(document));
}

}  // namespace km
