// Running the update check in a child process (km_update_check_child), killing it at a chosen
// moment, and checking what it left on disk.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launcher/app_state.h"
#include "tests/support/temp_dir.h"
#include "updater/sha256.h"
#include "updater/verify_cache.h"

extern char** environ;

namespace km::faults {

struct ChildResult {
    int exit_code = -1;               // -1 when killed
    std::vector<std::string> events;  // one per line of the child's output
};

// Polls `condition` every millisecond until it holds (true) or `limit` passed (false).
template <typename Condition>
bool poll_until(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The child on `exe_dir` against host:port with the extra arguments, from construction until
// kill_now or wait.
class CheckChild {
  public:
    CheckChild(const std::string& exe_dir, const std::string& host, int port,
               std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {KM_UPDATE_CHECK_CHILD, exe_dir, host,
                                         std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (out_.str() + "/events").c_str(),
                                         O_WRONLY | O_CREAT, 0644);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error("posix_spawn " + args[0]);
    }
    ~CheckChild() { kill_now(); }
    CheckChild(const CheckChild&) = delete;
    CheckChild& operator=(const CheckChild&) = delete;

    // SIGKILL (unless it ended already), then reap.
    ChildResult kill_now() {
        ChildResult result;
        if (pid_ <= 0)
            return result;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status))
            result.exit_code = WEXITSTATUS(status);
        std::istringstream lines(test::read_file(out_.path() / "events"));
        for (std::string line; std::getline(lines, line);)
            result.events.push_back(line);
        return result;
    }
    // Waits up to 90 s for the child to end by itself (it stays a zombie until reaped, so the
    // kill cannot hit another process), then kills it.
    ChildResult wait() {
        siginfo_t info{};
        poll_until(
            [&] {
                return ::waitid(P_PID, static_cast<id_t>(pid_), &info,
                                WEXITED | WNOHANG | WNOWAIT) == 0 &&
                       info.si_pid == pid_;
            },
            std::chrono::seconds(90));
        return kill_now();
    }

  private:
    test::TempDir out_;
    pid_t pid_ = -1;
};

inline ChildResult run_check_child(const std::string& exe_dir, const std::string& host, int port,
                                   const std::vector<std::string>& extra = {}) {
    return CheckChild(exe_dir, host, port, extra).wait();
}

// The records of launcher_verify_cache.txt in `dir` that still describe a file on disk (same size
// and last-write time) but whose recorded hash is not that file's content: a record that would
// let a wrong file pass as current. A stale record makes the next check hash the file again, and
// a record cut short by a kill mid-save never matches a manifest digest: neither is a lie.
inline std::vector<std::string> lying_cache_records(const std::filesystem::path& dir) {
    const std::string saved = km::exe_dir;
    km::exe_dir = dir.string();
    const updater::VerifyCache cache = updater::load_verify_cache();
    km::exe_dir = saved;
    std::vector<std::string> lies;
    for (const auto& [path, record] : cache) {
        const std::string local = (dir / std::filesystem::u8path(path)).string();
        const updater::FileStat stat = updater::file_stat(local);
        if (stat.ok && stat.size == record.size && stat.mtime == record.mtime &&
            record.sha256.size() == 64 && updater::sha256_file(local) != record.sha256)
            lies.push_back(path);
    }
    return lies;
}

}  // namespace km::faults
