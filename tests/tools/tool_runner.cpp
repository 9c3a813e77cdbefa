#include "tests/tools/tool_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace km::test {

ToolRun run_tool(const std::string& tool, const std::vector<std::string>& args,
                 bool as_unprivileged) {
    const std::string program = std::string(KM_TOOLS_DIR) + "/" + tool;
    std::vector<std::string> storage = {program};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    TempDir capture;
    std::filesystem::permissions(capture.path(), std::filesystem::perms::all);
    const std::string out_path = (capture.path() / "out").string();
    const std::string err_path = (capture.path() / "err").string();
    const bool drop = as_unprivileged && ::geteuid() == 0;

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
            ::_exit(126);
        }
        if (drop &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(126);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ToolRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.exit_code = WEXITSTATUS(status);
    }
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    return run;
}

std::map<std::string, std::string> snapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        out[rel] = it->is_directory() ? "<dir>" : read_file(it->path());
    }
    return out;
}

}  // namespace km::test
