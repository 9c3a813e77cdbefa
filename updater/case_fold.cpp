#include "updater/case_fold.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace km::updater {

namespace {

struct Mapping {
    char32_t from;
    char32_t to;
};

// Generated from Unicode data by scripts/gen_case_fold.py; never edited by hand.
constexpr Mapping uppercase_table[] = {
#include "updater/case_fold_table.inc"
};

static_assert(std::is_sorted(std::begin(uppercase_table), std::end(uppercase_table),
                             [](const Mapping& a, const Mapping& b) { return a.from < b.from; }));

// Code points below U+0800 (one- and two-byte UTF-8: Latin, Greek, Cyrillic, Armenian, Hebrew,
// Arabic) looked up directly, the rest by binary search of the table.
constexpr auto low_uppercase = [] {
    std::array<char32_t, 0x800> upper{};
    for (char32_t c = 0; c < upper.size(); ++c)
        upper[c] = c;
    for (const Mapping& m : uppercase_table) {
        if (m.from < upper.size())
            upper[m.from] = m.to;
    }
    return upper;
}();

// The code point of the strict UTF-8 sequence at text[i] and its length, or length 0 when none
// starts there.
std::size_t decode(std::string_view text, std::size_t i, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void encode(char32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

char32_t simple_uppercase(char32_t c) {
    if (c < low_uppercase.size())
        return low_uppercase[c];
    const auto it = std::lower_bound(std::begin(uppercase_table), std::end(uppercase_table), c,
                                     [](const Mapping& m, char32_t code) { return m.from < code; });
    return it != std::end(uppercase_table) && it->from == c ? it->to : c;
}

std::string case_folded(std::string_view text) {
    // Release paths are mostly ASCII: fold in place up to the first other byte.
    std::string out(text);
    std::size_t i = 0;
    for (; i < out.size() && static_cast<unsigned char>(out[i]) < 0x80; ++i) {
        if (out[i] >= 'a' && out[i] <= 'z')
            out[i] = static_cast<char>(out[i] - 'a' + 'A');
    }
    if (i == out.size())
        return out;
    out.resize(i);
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            ++i;
            continue;
        }
        char32_t code = 0;
        const std::size_t length = decode(text, i, code);
        if (length == 0) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        encode(simple_uppercase(code), out);
        i += length;
    }
    return out;
}

}  // namespace km::updater
