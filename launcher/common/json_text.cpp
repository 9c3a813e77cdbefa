#include "launcher/common/json_text.h"

#include <array>
#include <cstddef>

namespace km {
namespace {

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string json_get_string(const std::string& text, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    const auto at = text.find(needle);
    if (at == std::string::npos)
        return {};
    const auto colon = text.find(':', at);
    if (colon == std::string::npos)
        return {};
    const auto quote = text.find('"', colon);
    if (quote == std::string::npos)
        return {};
    std::string value;
    for (std::size_t i = quote + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"')
            break;
        if (c != '\\') {
            value += c;
            continue;
        }
        if (i + 1 >= text.size()) {
            value += '\\';
            break;
        }
        const char next = text[++i];
        switch (next) {
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            default:
                value += next;
                break;
        }
    }
    return value;
}

bool json_get_bool(const std::string& text, const std::string& key, bool default_value) {
    const std::string needle = "\"" + key + "\"";
    const auto at = text.find(needle);
    if (at == std::string::npos)
        return default_value;
    const auto colon = text.find(':', at);
    if (colon == std::string::npos)
        return default_value;
    const auto start = text.find_first_not_of(" \t\r\n", colon + 1);
    if (start == std::string::npos)
        return default_value;
    if (text.compare(start, 4, "true") == 0)
        return true;
    if (text.compare(start, 5, "false") == 0)
        return false;
    return default_value;
}

std::string json_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    append_json_escaped(out, text);
    return out;
}

void append_json_escaped(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Runs that need no escape are copied whole.
        std::size_t run = i;
        while (run < text.size() && static_cast<unsigned char>(text[run]) >= 0x20 &&
               text[run] != '"' && text[run] != '\\')
            ++run;
        if (run > i) {
            out.append(text.substr(i, run - i));
            i = run;
            if (i == text.size())
                break;
        }
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case 0x08:
                out += "\\b";
                break;
            case 0x09:
                out += "\\t";
                break;
            case 0x0A:
                out += "\\n";
                break;
            case 0x0C:
                out += "\\f";
                break;
            case 0x0D:
                out += "\\r";
                break;
            case 0x22:
                out += "\\\"";
                break;
            case 0x5C:
                out += "\\\\";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

void escape_login_field(const std::string& text, std::string& out) {
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
}

std::string base64_encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    unsigned accumulator = 0;
    int bits = -6;
    for (char c : bytes) {
        accumulator = (accumulator << 8) | static_cast<unsigned char>(c);
        bits += 8;
        while (bits >= 0) {
            out += base64_alphabet[(accumulator >> bits) & 0x3F];
            bits -= 6;
        }
    }
    if (bits > -6)
        out += base64_alphabet[((accumulator << 8) >> (bits + 8)) & 0x3F];
    while (out.size() % 4 != 0)
        out += '=';
    return out;
}

std::string base64_decode(const std::string& text) {
    // Every byte outside the alphabet counts as 0; only "=" and bytes below "+" are skipped.
    static const auto table = [] {
        std::array<unsigned char, 256> values{};
        for (int i = 0; i < 64; ++i)
            values[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<unsigned char>(i);
        return values;
    }();
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned accumulator = 0;
    int bits = -8;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '=' || byte < '+')
            continue;
        accumulator = ((accumulator << 6) | table[byte]) & 0xFFFFFF;
        bits += 6;
        if (bits >= 0) {
            out += static_cast<char>((accumulator >> bits) & 0xFF);
            bits -= 8;
        }
    }
    return out;
}

}  // namespace km
