// One update check in a process of its own, so that a test can kill it at a chosen moment or
// run it under limits that would hurt the test runner itself.
//
//   km_update_check_child <exe_dir> <host> <port> [options]
//     --fsize-limit BYTES  no file may grow beyond BYTES (RLIMIT_FSIZE, SIGXFSZ ignored), as on
//                          a disk that is full
//     --tmpfs BYTES SEED RESULT
//                          run on a fresh folder of BYTES capacity (a size-limited tmpfs in a
//                          private mount namespace) mounted at <exe_dir>: SEED is copied into it
//                          first, and what the check left there is copied to RESULT afterwards
//
// Every event the check posted goes to standard output, one per line. The exit code is 0 when
// the check returned true, 1 when it returned false, 2 on bad usage, 3 when the limits could not
// be set up (the caller skips then).
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "launcher/app_state.h"
#include "platform/fake/fake_platform.h"
#include "updater/update_check.h"

namespace {

namespace fs = std::filesystem;

bool write_proc_file(const char* path, const std::string& text) {
    std::ofstream out(path);
    return static_cast<bool>(out << text << std::flush);
}

// A private mount namespace (inside a user namespace when not privileged) with a tmpfs of
// `bytes` at `dir`. Must run before any thread exists.
bool mount_small_disk(const std::string& dir, unsigned long long bytes) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            return false;
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        write_proc_file("/proc/self/setgroups", "deny");
        if (!write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const std::string options = "size=" + std::to_string(bytes);
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    const std::string dir = argv[1];
    unsigned long long fsize_limit = 0;
    unsigned long long tmpfs_bytes = 0;
    std::string seed, result;
    for (int i = 4; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--fsize-limit" && i + 1 < argc) {
            fsize_limit = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--tmpfs" && i + 3 < argc) {
            tmpfs_bytes = std::strtoull(argv[++i], nullptr, 10);
            seed = argv[++i];
            result = argv[++i];
        } else {
            return 2;
        }
    }

    std::error_code ec;
    if (tmpfs_bytes > 0) {
        if (!mount_small_disk(dir, tmpfs_bytes))
            return 3;
        fs::copy(seed, dir, fs::copy_options::recursive, ec);
        if (ec)
            return 3;
    }
    if (fsize_limit > 0) {
        // Writing past the limit then fails with EFBIG instead of killing the process, which is
        // what a full disk looks like to the writer.
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fsize_limit, fsize_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 3;
    }

    km::exe_dir = dir;
    km::launcher_config.host = argv[2];
    km::launcher_config.port = std::atoi(argv[3]);
    const bool ok = km::updater::run_update_check_impl(false);

    for (const std::string& event : km::fake::events())
        std::cout << event << '\n';
    std::cout.flush();

    if (!result.empty()) {
        fs::copy(dir, result, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec)
            return 3;
    }
    return ok ? 0 : 1;
}
