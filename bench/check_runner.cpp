// km-check: one update check without a window, for measuring the whole check from the outside
// (wall time, peak memory) against an ordinary HTTP server.
//
//   km-check --dir INSTALL_DIR --host HOST --port PORT [--manifest PATH] [--repair] [--log]
//
// INSTALL_DIR takes the place of the launcher's own folder; HOST and PORT take the place of
// launcher.ini's server. --log writes the check down in INSTALL_DIR/cache/launcher.log as the
// launcher does, and waits for the line to reach the disk before it ends. Prints the result, the
// check's own elapsed time, how many events it posted and its last status text, one "name value"
// pair a line. Exit status: 0 when the check returned true, 1 when it returned false, 2 for a usage
// error, 3 when a launcher (or another check) holds the installation's lock, or no lock can be
// taken there.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/counting_platform.h"
#include "launcher/common/log.h"
#include "launcher/common/update_bridge.h"
#include "platform/installation_lock.h"
#include "updater/update_check.h"

namespace {

constexpr char usage[] =
    "Usage: km-check --dir INSTALL_DIR --host HOST --port PORT [--manifest PATH] [--repair] "
    "[--log]\n";

int usage_error(const char* message) {
    std::fprintf(stderr, "km-check: %s\n%s", message, usage);
    return 2;
}

bool parse_port(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(text.c_str());
    return port > 0 && port < 65536;
}

// The status member of a progress event, still JSON-escaped (enough for a report line).
std::string status_of(const std::string& event) {
    const std::string key = "\"status\":\"";
    const std::size_t begin = event.find(key);
    const std::size_t end = event.rfind("\",\"state\":");
    if (begin == std::string::npos || end == std::string::npos || end < begin + key.size())
        return {};
    return event.substr(begin + key.size(), end - begin - key.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, host, manifest = "/update.manifest.json";
    int port = 0;
    bool repair = false, log = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--repair") {
            repair = true;
        } else if (arg == "--log") {
            log = true;
        } else if (arg == "--dir" && has_value) {
            dir = argv[++i];
        } else if (arg == "--host" && has_value) {
            host = argv[++i];
        } else if (arg == "--port" && has_value) {
            if (!parse_port(argv[++i], port))
                return usage_error("the port must be a number from 1 to 65535");
        } else if (arg == "--manifest" && has_value) {
            manifest = argv[++i];
        } else if (arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else {
            return usage_error(("unexpected argument: " + arg).c_str());
        }
    }
    if (dir.empty() || host.empty() || port == 0)
        return usage_error("--dir, --host and --port are required");
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();

    // A second writer in the same folder would truncate the files the first one is installing.
    km::platform::InstallationLock lock;
    const auto locked = lock.take(dir);
    if (locked != km::platform::InstallationLock::State::taken) {
        std::fprintf(stderr, "km-check: %s\n",
                     locked == km::platform::InstallationLock::State::busy
                         ? (dir + " is in use by a running launcher or check").c_str()
                         : ("cannot lock " + dir + ": no lock file can be made there").c_str());
        return 3;
    }
    lock.write_note({km::platform::current_process_id(), false});

    if (log)
        km::log_open(dir, "");
    const km::updater::UpdateTarget target{dir, host, port, manifest};
    // The page's own observer, so that what is measured includes building the page's events.
    km::PageCheckObserver observer;
    bool ok = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] { ok = km::updater::run_update_check(target, observer, repair); });
    worker.join();
    const auto flush_start = std::chrono::steady_clock::now();
    const bool logged = !log || km::log_flush(std::chrono::seconds(5));
    const std::chrono::duration<double, std::milli> flushing =
        std::chrono::steady_clock::now() - flush_start;
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;

    const km::bench::EventTally tally = km::bench::event_tally();
    std::printf("result %s\n", ok ? "ok" : "failed");
    std::printf("elapsed_ms %.3f\n", elapsed.count());
    std::printf("events %zu\n", tally.events);
    std::printf("progress_events %zu\n", tally.progress_events);
    std::printf("status %s\n", status_of(tally.last_progress).c_str());
    if (log) {
        std::printf("logged %s\n", logged ? "yes" : "no");
        std::printf("log_flush_ms %.3f\n", flushing.count());
    }
    return ok ? 0 : 1;
}
