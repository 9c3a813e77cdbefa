// Running the update check in a child process (km_update_check_child), killing it at a chosen
// moment, and checking what it left on disk.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace km::faults {

struct ChildResult {
    int exit_code = -1;               // -1 when killed
    std::vector<std::string> events;  // one per line of the child's output
};

class CheckChild {
  public:
    // Starts the child on `exe_dir` against host:port with the extra arguments.
    CheckChild(const std::string& exe_dir, const std::string& host, int port,
               std::vector<std::string> extra = {});
    ~CheckChild() { kill_now(); }
    // SIGKILL (unless it ended already), then reap.
    ChildResult kill_now();
    // Waits up to 90 s for the child to end by itself, then kills it.
    ChildResult wait();

  private:
    test::TempDir out_;
    pid_t pid_ = -1;
};

inline ChildResult run_check_child(const std::string& exe_dir, const std::string& host, int port,
                                   const std::vector<std::string>& extra = {}) {
    return CheckChild(exe_dir, host, port, extra).wait();
}

// Polls `condition` every millisecond until it holds (true) or `limit` passed (false).
bool poll_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// The records of launcher_verify_cache.txt in `exe_dir` that still describe a file on disk (same
// size and last-write time) but whose recorded hash is not that file's content: a record that
// would let a wrong file pass as current. Empty when the cache tells no lie.
std::vector<std::string> lying_cache_records(const std::filesystem::path& exe_dir);

}  // namespace km::faults
