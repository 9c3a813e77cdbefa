// The launcher's log for support: cache/launcher.log under the launcher's folder, one line an
// event with its UTC time in front ("2026-12-08T18:57:37.123Z check ok ..."), kept to 1 MiB with
// one previous file (launcher.log.1). Lines are written by one thread of their own, so no caller
// ever waits for the disk; a log that cannot be written (a full disk, a read-only folder, a link
// in its place) is silent, and nothing that logs can fail or slow down because of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km {

inline constexpr std::uint64_t log_rotate_size = std::uint64_t{1} << 20;
inline constexpr std::size_t log_queue_limit = 2000;  // lines waiting; more are dropped
inline constexpr std::size_t log_line_limit = 2000;   // bytes of one event's text; cut beyond
inline constexpr std::size_t diagnostics_lines = 200;

// From now on lines go to `dir`/cache/launcher.log; `home` is the user's own folder, whose name
// no line shows. An empty `dir` closes the log (lines are dropped). Start-up, before any worker.
void log_open(const std::string& dir, const std::string& home);

// One event: `category` and `text` after the time. Control characters become \xNN and the
// home folder's prefix "~" or "%USERNAME%". Never blocks on the disk: dropped when the log is
// not open or the queue is full. Never given a password, the remembered credentials or the
// launch token.
void log_event(std::string_view category, std::string_view text);

// Waits at most `timeout` until every line logged so far has been written or has failed to be.
// True when that happened in time.
bool log_flush(std::chrono::milliseconds timeout);

// The last `count` lines: from launcher.log.1 and launcher.log when this run's lines all
// reached them, otherwise this run's own lines as kept in memory.
std::vector<std::string> log_tail(std::size_t count);

// The pieces lines are made of.
// `text` between quotation marks, with its quotation marks escaped.
std::string log_quoted(std::string_view text);
// `line` with the user's folder replaced wherever it starts a path: by "~" (Linux), or by the
// profile folder's parent followed by "%USERNAME%" with Windows rules (either separator, any
// letter case): C:\Users\ana\Games becomes C:\Users\%USERNAME%\Games.
std::string without_home(std::string_view line, std::string_view home, bool windows_rules);
// The time as the log writes it: "2026-12-08T18:57:37.123Z".
std::string log_time(std::chrono::system_clock::time_point when);

}  // namespace km
