#include "launcher/common/log.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "km/build_config.h"
#include "platform/paths.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// How long the writer gathers lines before it writes them: a burst costs one write, and a crash
// loses at most this much.
constexpr std::chrono::milliseconds gather_time{250};
// Text files end their lines the platform's way; every reader takes both.
constexpr std::string_view line_end = build::windows_path_rules ? "\r\n" : "\n";

struct LogState {
    std::mutex mutex;
    std::condition_variable wake;     // the writer: lines waiting, or a flush asked for
    std::condition_variable written;  // flushers: a batch is done
    std::string dir;
    std::string home;
    std::vector<std::string> queue;
    std::deque<std::string> recent;  // this run's last lines, for the diagnostics
    std::uint64_t accepted = 0;      // lines queued so far
    std::uint64_t done = 0;          // of which written or failed
    std::size_t dropped = 0;         // refused since the last batch: the queue was full
    bool flush_wanted = false;
    bool writer_running = false;
    bool write_failed = false;  // a line of this run is not on disk
};

// Never destroyed: the writer and the workers may still log while the process exits.
LogState& state() {
    static auto* instance = new LogState();
    return *instance;
}

bool is_separator(char c, bool windows_rules) {
    return c == '/' || (windows_rules && c == '\\');
}

char folded(char c, bool windows_rules) {
    if (!windows_rules)
        return c;
    if (c == '\\')
        return '/';
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Part of a path or a name: a home folder found right after one is inside another path.
bool continues_path(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           u >= 0x80 || std::string_view("._-~:/\\%").find(c) != std::string_view::npos;
}

std::string log_path(const std::string& dir) {
    return join_path(join_path(dir, "cache"), "launcher.log");
}

bool append(const std::string& path, const std::string& text) {
    std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::app);
    if (!out)
        return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

// Appends `lines` to the log of `dir`, moving a log that would pass the limit to launcher.log.1
// first. False when any of them did not reach the disk. Never writes, renames or removes
// through a link, and never creates the launcher's folder itself.
bool write_lines(const std::string& dir, const std::vector<std::string>& lines) {
    const std::string path = log_path(dir);
    const std::string previous = path + ".1";
    if (dir.empty() || link_on_the_way(dir, path) || link_on_the_way(dir, previous))
        return false;
    std::error_code ec;
    fs::create_directory(fs::u8path(parent_of(path)), ec);
    std::uint64_t size = fs::file_size(fs::u8path(path), ec);
    if (ec)
        size = 0;
    const std::size_t end_size = line_end.size();
    std::size_t next = 0;
    while (next < lines.size()) {
        if (size > 0 && size + lines[next].size() + end_size > log_rotate_size) {
            if (fs::exists(fs::u8path(previous), ec) &&
                !fs::is_regular_file(fs::u8path(previous), ec))
                return false;  // not ours to remove
            fs::remove(fs::u8path(previous), ec);
            fs::rename(fs::u8path(path), fs::u8path(previous), ec);
            if (ec)
                return false;  // the log never grows past its limit
            size = 0;
        }
        std::string chunk;
        while (next < lines.size() &&
               ((size == 0 && chunk.empty()) ||
                size + chunk.size() + lines[next].size() + end_size <= log_rotate_size)) {
            chunk += lines[next++];
            chunk += line_end;
        }
        if (!append(path, chunk))
            return false;
        size += chunk.size();
    }
    return true;
}

void run_writer() {
    LogState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    while (true) {
        s.wake.wait(lock, [&] { return !s.queue.empty() || s.flush_wanted; });
        s.wake.wait_for(lock, gather_time, [&] { return s.flush_wanted; });
        std::vector<std::string> batch;
        batch.swap(s.queue);
        if (s.dropped > 0) {
            batch.push_back(log_time(std::chrono::system_clock::now()) + " log dropped " +
                            std::to_string(s.dropped) + " lines: too many at once");
            s.dropped = 0;
        }
        const std::string dir = s.dir;
        const std::uint64_t upto = s.accepted;
        lock.unlock();
        bool ok = true;
        try {
            ok = write_lines(dir, batch);
        } catch (...) {
            ok = false;
        }
        lock.lock();
        s.write_failed = s.write_failed || !ok;
        s.done = std::max(s.done, upto);
        if (s.done == s.accepted)
            s.flush_wanted = false;
        s.written.notify_all();
    }
}

// The event's text as one safe line: home folder hidden, control characters spelled out, cut
// at the limit without splitting a character.
std::string clean_line(std::string_view category, std::string_view text, const std::string& home) {
    std::string raw = std::string(category) + " " + std::string(text);
    raw = without_home(raw, home, build::windows_path_rules);
    std::string line;
    line.reserve(raw.size());
    for (char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            line += escaped;
        } else {
            line += c;
        }
    }
    if (line.size() > log_line_limit) {
        std::size_t cut = log_line_limit;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        line.resize(cut);
        line += " [cut]";
    }
    return line;
}

std::vector<std::string> lines_of_file(const std::string& dir, const std::string& path) {
    std::vector<std::string> lines;
    if (link_on_the_way(dir, path))
        return lines;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    std::string line;
    // A log is at most its limit; anything far beyond is not the launcher's.
    std::uint64_t read = 0;
    while (read < 2 * log_rotate_size && std::getline(in, line)) {
        read += line.size() + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace

std::string log_quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string without_home(std::string_view line, std::string_view home, bool windows_rules) {
    while (!home.empty() && is_separator(home.back(), windows_rules))
        home.remove_suffix(1);
    const std::size_t last = [&] {
        for (std::size_t i = home.size(); i > 0; --i)
            if (is_separator(home[i - 1], windows_rules))
                return i;
        return std::size_t{0};
    }();
    // A home without a name of its own (a root, a drive, a bare name) hides nothing.
    if (last == 0 || last == home.size())
        return std::string(line);
    const std::string replacement = windows_rules ? "%USERNAME%" : "~";
    std::string out;
    out.reserve(line.size());
    std::size_t i = 0;
    while (i < line.size()) {
        bool match = i + home.size() <= line.size() && (i == 0 || !continues_path(line[i - 1]));
        for (std::size_t k = 0; match && k < home.size(); ++k)
            match = folded(line[i + k], windows_rules) == folded(home[k], windows_rules);
        const std::size_t after = i + home.size();
        match = match && (after == line.size() || is_separator(line[after], windows_rules) ||
                          line[after] == '"');
        if (!match) {
            out += line[i++];
            continue;
        }
        if (windows_rules)
            out.append(line.substr(i, last));  // the parent as the line spells it
        out += replacement;
        i = after;
    }
    return out;
}

std::string log_time(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

void log_open(const std::string& dir, const std::string& home) {
    LogState& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.dir = dir;
    s.home = home;
    s.queue.clear();
    s.recent.clear();
    s.dropped = 0;
    s.done = s.accepted;
    s.write_failed = false;
    s.written.notify_all();
    if (dir.empty() || s.writer_running)
        return;
    try {
        std::thread(run_writer).detach();
        s.writer_running = true;
    } catch (...) {
        // Without a thread of its own the log stays silent.
    }
}

void log_event(std::string_view category, std::string_view text) {
    try {
        const std::string time = log_time(std::chrono::system_clock::now());
        LogState& s = state();
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.dir.empty() || !s.writer_running)
            return;
        if (s.queue.size() >= log_queue_limit) {
            ++s.dropped;
            return;
        }
        std::string line = time + " " + clean_line(category, text, s.home);
        s.recent.push_back(line);
        if (s.recent.size() > diagnostics_lines)
            s.recent.pop_front();
        s.queue.push_back(std::move(line));
        ++s.accepted;
        const bool first = s.queue.size() == 1;
        lock.unlock();
        if (first)
            s.wake.notify_one();
    } catch (...) {
        // A line that could not even be built is lost, nothing more.
    }
}

bool log_flush(std::chrono::milliseconds timeout) {
    LogState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.writer_running)
        return true;
    const std::uint64_t target = s.accepted;
    if (s.done >= target)
        return true;
    s.flush_wanted = true;
    s.wake.notify_one();
    return s.written.wait_for(lock, timeout, [&] { return s.done >= target; });
}

std::vector<std::string> log_tail(std::size_t count) {
    std::string dir;
    std::vector<std::string> lines;
    {
        LogState& s = state();
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.write_failed || s.done < s.accepted || s.dir.empty()) {
            lines.assign(s.recent.begin(), s.recent.end());
        } else {
            dir = s.dir;
        }
    }
    if (!dir.empty()) {
        const std::string path = log_path(dir);
        lines = lines_of_file(dir, path);
        if (lines.size() < count) {
            std::vector<std::string> older = lines_of_file(dir, path + ".1");
            older.insert(older.end(), std::make_move_iterator(lines.begin()),
                         std::make_move_iterator(lines.end()));
            lines = std::move(older);
        }
    }
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}

}  // namespace km
