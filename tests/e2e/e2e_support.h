// Pieces of the whole-program tests: child processes, a private X display, nginx serving a
// published release, and the recorder that the test page reports to.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_server.h"

namespace km::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path build_dir();

// Starts `args` in `directory` with the current environment plus `extra_env` (NAME=value).
pid_t spawn(const std::vector<std::string>& args, const fs::path& directory,
            const std::vector<std::string>& extra_env = {});
// The child's exit code once it ended within `timeout`, nullopt otherwise (-1: killed).
std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout);
// Every running process whose executable lies in `directory`.
std::vector<pid_t> processes_running_from(const fs::path& directory);
void kill_processes_running_from(const fs::path& directory);
// A tool of the build folder (km-keygen, km-publish); true on exit code 0.
bool run_tool(const std::vector<std::string>& args);

// Polls `pred` every 50 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 30s);

// A private Xvfb for this test program, unless it already runs on a display.
void ensure_display();

// nginx serving `root` on 127.0.0.1 and a free port, with its own prefix in `work`.
class Nginx {
  public:
    Nginx(const fs::path& root, const fs::path& work);
    ~Nginx();
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// The test page's counterpart: it records what the page reports (page loads and events, in
// arrival order) and hands it the commands the test queues.
class Recorder {
  public:
    Recorder();
    int port() const { return server_.port(); }

    void send(const nlohmann::json& command);
    // Reports of one kind ("loaded" or "event"), in arrival order.
    std::vector<nlohmann::json> reports(const std::string& kind) const;
    std::vector<nlohmann::json> events() const { return reports("event"); }
    std::vector<nlohmann::json> events_named(const std::string& name) const;
    bool wait_for_event(const std::function<bool(const nlohmann::json&)>& pred,
                        std::chrono::milliseconds timeout = 30s) const;
    bool wait_for_loads(std::size_t count, std::chrono::milliseconds timeout = 30s) const;

    // The page: everything it receives goes to the recorder; it sends `ready` once loaded.
    std::string page_html() const;

  private:
    mutable std::mutex mutex_;
    std::vector<nlohmann::json> reports_;
    std::deque<std::string> commands_;
    // Last, so that it stops (and its handlers end) before the record goes away.
    test::TestServer server_;
};

}  // namespace km::e2e
