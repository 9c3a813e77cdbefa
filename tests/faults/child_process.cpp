#include "tests/faults/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "launcher/app_state.h"
#include "updater/sha256.h"
#include "updater/verify_cache.h"

extern char** environ;

namespace km::faults {

namespace fs = std::filesystem;

CheckChild::CheckChild(const std::string& exe_dir, const std::string& host, int port,
                       std::vector<std::string> extra) {
    std::vector<std::string> args = {KM_UPDATE_CHECK_CHILD, exe_dir, host, std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = out_.str() + "/events";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0644);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("posix_spawn " + args[0]);
}

ChildResult CheckChild::kill_now() {
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

ChildResult CheckChild::wait() {
    // An ended child stays a zombie until kill_now reaps it, so the kill cannot hit another.
    siginfo_t info{};
    poll_until(
        [&] {
            info.si_pid = 0;
            return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) ==
                       0 &&
                   info.si_pid == pid_;
        },
        std::chrono::seconds(90));
    return kill_now();
}

bool poll_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::string> lying_cache_records(const fs::path& dir) {
    const std::string saved = km::exe_dir;
    km::exe_dir = dir.string();
    const updater::VerifyCache cache = updater::load_verify_cache();
    km::exe_dir = saved;
    std::vector<std::string> lies;
    for (const auto& [path, record] : cache) {
        const std::string local = (dir / fs::u8path(path)).string();
        const updater::FileStat stat = updater::file_stat(local);
        // A stale record makes the next check hash the file again; a record cut short by a kill
        // mid-save never matches a manifest digest. A whole digest that is not the file's own
        // would let a wrong file pass as current.
        if (stat.ok && stat.size == record.size && stat.mtime == record.mtime &&
            record.sha256.size() == 64 && updater::sha256_file(local) != record.sha256)
            lies.push_back(path);
    }
    return lies;
}

}  // namespace km::faults
