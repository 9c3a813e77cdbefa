#include "tests/faults/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
                       const std::vector<std::string>& extra) {
    std::vector<std::string> args = {KM_UPDATE_CHECK_CHILD, exe_dir, host, std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("posix_spawn " + args[0]);
    }
    out_fd_ = fds[0];
    // Read without blocking so a child writing more than a pipe holds never stalls.
    fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
}

CheckChild::~CheckChild() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
}

bool CheckChild::finished() {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
}

ChildResult CheckChild::kill_now() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    return collect(status);
}

ChildResult CheckChild::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (true) {
        ssize_t n;
        while ((n = read(out_fd_, buffer, sizeof buffer)) > 0)
            output_.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            return collect(status);
        if (std::chrono::steady_clock::now() >= deadline)
            return kill_now();
        pollfd p{out_fd_, POLLIN, 0};
        poll(&p, 1, 5);
    }
}

ChildResult CheckChild::collect(int status) {
    reaped_ = true;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out_fd_, buffer, sizeof buffer)) > 0)
        output_.append(buffer, static_cast<std::size_t>(n));
    ChildResult result;
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    std::istringstream lines(output_);
    std::string line;
    while (std::getline(lines, line))
        result.events.push_back(line);
    return result;
}

ChildResult run_check_child(const std::string& exe_dir, const std::string& host, int port,
                            const std::vector<std::string>& extra) {
    CheckChild child(exe_dir, host, port, extra);
    return child.wait();
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

std::vector<std::string> lying_cache_records(const fs::path& exe_dir) {
    const std::string saved = km::exe_dir;
    km::exe_dir = exe_dir.string();
    const updater::VerifyCache cache = updater::load_verify_cache();
    km::exe_dir = saved;

    std::vector<std::string> lies;
    for (const auto& [path, record] : cache) {
        const std::string local = (exe_dir / fs::u8path(path)).string();
        const updater::FileStat stat = updater::file_stat(local);
        if (!stat.ok || stat.size != record.size || stat.mtime != record.mtime)
            continue;  // stale: the next check hashes the file again
        // A record cut short by a kill mid-save holds a partial hash that never matches any
        // manifest digest: harmless. A whole digest that is not the file's own would let a
        // wrong file pass as current.
        if (record.sha256.size() == 64 && updater::sha256_file(local) != record.sha256)
            lies.push_back(path);
    }
    return lies;
}

std::vector<std::string> list_files(const fs::path& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec))
            files.push_back(fs::relative(it->path(), dir).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace km::faults
