#include "updater/partial_download.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/files.h"

namespace km::updater {

namespace fs = std::filesystem;

namespace {

constexpr char note_header[] = "keldmoor-resume 1\n";
constexpr std::size_t longest_validator = 256;
constexpr std::uintmax_t longest_note = 512;

// What goes back to the server in If-Range: visible ASCII and blanks only, so that neither a
// server nor a damaged note can add a header line of its own.
bool sendable(const std::string& value) {
    if (value.empty() || value.size() > longest_validator)
        return false;
    for (char c : value) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// Decimal digits up to `end`, without overflow; false for none.
bool read_number(const std::string& text, std::size_t& at, std::size_t end, std::uint64_t& value) {
    const std::size_t begin = at;
    value = 0;
    for (; at < end && text[at] >= '0' && text[at] <= '9'; ++at) {
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return at > begin;
}

}  // namespace

std::string partial_note_path(const std::string& staged) {
    return staged + ".resume";
}

std::string answer_validator(const HttpResponseHead& head) {
    // A weak tag may not go into If-Range: the server would answer every range with the whole.
    std::string etag = head.header("ETag");
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"' && sendable(etag))
        return etag;
    std::string modified = head.header("Last-Modified");
    return sendable(modified) ? modified : std::string();
}

std::string read_partial_note(const std::string& staged, const std::string& sha256) {
    const std::string note = partial_note_path(staged);
    std::error_code ec;
    const fs::path path = fs::u8path(note);
    if (platform::path_kind(note) != platform::PathKind::other ||
        !fs::is_regular_file(fs::symlink_status(path, ec)) ||
        fs::file_size(path, ec) > longest_note || ec)
        return {};
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string head = note_header + sha256 + "\n";
    if (text.size() < head.size() + 2 || text.compare(0, head.size(), head) != 0 ||
        text.back() != '\n')
        return {};
    const std::string validator = text.substr(head.size(), text.size() - head.size() - 1);
    return sendable(validator) ? validator : std::string();
}

bool write_partial_note(const std::string& staged, const std::string& sha256,
                        const std::string& validator) {
    const std::string note = partial_note_path(staged);
    if (!sendable(validator) || platform::path_kind(note) == platform::PathKind::link)
        return false;
    std::ofstream out(fs::u8path(note), std::ios::binary | std::ios::trunc);
    out << note_header << sha256 << '\n' << validator << '\n';
    out.close();
    if (out.good())
        return true;
    remove_partial_note(staged);
    return false;
}

void remove_partial_note(const std::string& staged) {
    const std::string note = partial_note_path(staged);
    // A link planted there is not ours to remove.
    if (platform::path_kind(note) != platform::PathKind::other)
        return;
    std::error_code ec;
    fs::remove(fs::u8path(note), ec);
}

bool content_range_continues(const std::string& value, std::uint64_t start, std::uint64_t size) {
    constexpr char unit[] = "bytes ";
    const std::size_t slash = value.find('/');
    const std::size_t dash = value.find('-');
    if (value.compare(0, sizeof unit - 1, unit) != 0 || slash == std::string::npos ||
        dash == std::string::npos || dash > slash)
        return false;
    std::size_t at = sizeof unit - 1;
    std::uint64_t first = 0, last = 0, total = 0;
    if (!read_number(value, at, dash, first) || at != dash)
        return false;
    ++at;
    if (!read_number(value, at, slash, last) || at != slash)
        return false;
    ++at;
    if (value.compare(at, std::string::npos, "*") != 0 &&
        (!read_number(value, at, value.size(), total) || at != value.size() || total != size))
        return false;
    return first == start && first <= last && last < size;
}

}  // namespace km::updater
