// Programs the Linux tests start as an operator or a player would: by path, without a shell, in
// a folder of their choosing; and waiting with a bound for what they do.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace km::test {

// Polls `condition` every `step` until it holds (true) or `limit` passed (false).
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30),
                std::chrono::milliseconds step = std::chrono::milliseconds(50)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

struct SpawnOptions {
    std::filesystem::path directory;  // empty: the test's own
    std::vector<std::string> env;     // NAME=value, before the test's own environment
    int fd3 = -1;                     // handed to the child as its descriptor 3
    std::string out_file, err_file;   // where its standard output and error go, when given
};

// Starts `args[0]` with `args`; throws when it cannot be started.
inline pid_t spawn(std::vector<std::string> args, SpawnOptions how = {}) {
    for (char** e = environ; *e; ++e)
        how.env.emplace_back(*e);
    const auto c_strings = [](std::vector<std::string>& texts) {
        std::vector<char*> out(texts.size() + 1, nullptr);  // argv and envp end with a null
        std::transform(texts.begin(), texts.end(), out.begin(),
                       [](auto& text) { return text.data(); });
        return out;
    };
    auto argv = c_strings(args);
    auto envp = c_strings(how.env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!how.directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, how.directory.c_str());
    if (how.fd3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, how.fd3, 3);
    const int create = O_WRONLY | O_CREAT | O_TRUNC;
    if (!how.out_file.empty())
        posix_spawn_file_actions_addopen(&actions, 1, how.out_file.c_str(), create, 0666);
    if (!how.err_file.empty())
        posix_spawn_file_actions_addopen(&actions, 2, how.err_file.c_str(), create, 0666);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

// The child's exit code once it ended within `limit` (-1: ended by a signal).
inline std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit))
        return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace km::test
