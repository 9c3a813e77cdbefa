// Running the update check in a child process (km_update_check_child), killing it at a chosen
// moment, and checking what it left on disk.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace km::faults {

struct ChildResult {
    int exit_code = -1;  // -1 when killed by a signal
    int signal = 0;
    std::vector<std::string> events;  // one per line of the child's output
};

class CheckChild {
  public:
    // Starts the child on `exe_dir` against host:port with the extra arguments.
    CheckChild(const std::string& exe_dir, const std::string& host, int port,
               const std::vector<std::string>& extra = {});
    ~CheckChild();
    CheckChild(const CheckChild&) = delete;
    CheckChild& operator=(const CheckChild&) = delete;

    pid_t pid() const { return pid_; }
    // SIGKILL, then reap.
    ChildResult kill_now();
    // Waits for the child to end by itself (killed after `limit`, which fails the caller).
    ChildResult wait(std::chrono::milliseconds limit = std::chrono::seconds(90));
    // True once the child has ended (without reaping it).
    bool finished();

  private:
    ChildResult collect(int status);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string output_;
    bool reaped_ = false;
};

// Runs one check to its end and returns what it did.
ChildResult run_check_child(const std::string& exe_dir, const std::string& host, int port,
                            const std::vector<std::string>& extra = {});

// Polls `condition` every millisecond until it holds (true) or `limit` passed (false).
bool poll_until(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// The records of launcher_verify_cache.txt in `exe_dir` that still describe a file on disk (same
// size and last-write time) but whose recorded hash is not that file's content: a record that
// would let a wrong file pass as current. Empty when the cache tells no lie.
std::vector<std::string> lying_cache_records(const std::filesystem::path& exe_dir);

// Every file below `dir` (relative paths with '/' separators), sorted.
std::vector<std::string> list_files(const std::filesystem::path& dir);

}  // namespace km::faults
