#include "tests/tools/tool_runner.h"

#include <filesystem>

#include "tests/support/process.h"

namespace km::test {

ToolRun run_tool(const std::string& tool, const std::vector<std::string>& args,
                 bool as_unprivileged) {
    std::vector<std::string> argv = {std::string(KM_TOOLS_DIR) + "/" + tool};
    if (as_unprivileged && ::geteuid() == 0)
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", argv[0]};
    argv.insert(argv.end(), args.begin(), args.end());
    TempDir capture;
    const SpawnOptions how = {.out_file = (capture.path() / "out").string(),
                              .err_file = (capture.path() / "err").string()};
    // A braced list runs in order: the tool has ended before its output is read.
    return {wait_exit(spawn(argv, how), std::chrono::seconds(120)).value_or(-1),
            read_file(how.out_file), read_file(how.err_file)};
}

std::map<std::string, std::string> snapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = entry.path().lexically_relative(root).generic_string();
        out[rel] = entry.is_directory() ? "<dir>" : read_file(entry.path());
    }
    return out;
}

}  // namespace km::test
