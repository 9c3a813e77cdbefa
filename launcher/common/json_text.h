// The small JSON and text codings the page bridge, the beta sign-in and the feeds share. The
// readers take any text and never fail: a missing or malformed field reads as empty or default.
#pragma once

#include <string>
#include <string_view>

namespace km {

// The string value of the first "key" in `text`, unescaped; empty when there is none.
std::string json_get_string(const std::string& text, const std::string& key);
bool json_get_bool(const std::string& text, const std::string& key, bool default_value);

std::string json_escape(const std::string& text);
// The same, appended to `out`: no text of its own.
void append_json_escaped(std::string& out, std::string_view text);

// The beta server's own escaping of a login field: quote, backslash, CR, LF and tab only.
void escape_login_field(const std::string& text, std::string& out);

std::string base64_encode(const std::string& bytes);
std::string base64_decode(const std::string& text);

}  // namespace km
