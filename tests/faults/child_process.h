// The update check in a forked child process of its own, so that a test can kill it at a chosen
// moment or run it under limits that would hurt the test process itself; and what a check left
// on disk.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher/common/update_bridge.h"
#include "platform/fake/fake_platform.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "updater/sha256.h"
#include "updater/update_check.h"
#include "updater/verify_cache.h"

namespace km::faults {

namespace fs = std::filesystem;

struct ChildResult {
    int exit_code = -1;               // 0: the check returned true, 1: false, 3: no limits
    std::vector<std::string> events;  // every event the check posted
};

// A disk that fills up: with `file_bytes` > 0 no file may grow beyond it (RLIMIT_FSIZE with
// SIGXFSZ ignored, so writes fail with EFBIG).
inline int check_in_child(const std::string& dir, const std::string& host, int port,
                          rlim_t file_bytes, const std::string& events_file) {
    const rlimit file_limit{file_bytes, file_bytes};
    if (file_bytes > 0 &&
        (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &file_limit) != 0))
        return 3;
    fake::reset();
    // The page's own observer: what the child records is what the page would have received.
    PageCheckObserver observer;
    const bool ok = updater::run_update_check({dir, host, port}, observer, false);
    std::string events;
    for (const std::string& event : fake::events())
        events += event + "\n";
    test::write_file(events_file, events);
    return ok ? 0 : 1;
}

// A fork copies every lock in the state another thread holds it in, and the sanitizers' allocator
// has no fork handler in this toolchain: a check forked while a server thread allocates waits
// forever in the child. So the fork waits (at most 2 s) until every other thread has been
// asleep for two looks in a row.
inline void wait_until_other_threads_sleep() {
    const std::string self = std::to_string(::gettid());
    for (int quiet = 0, looks = 0; quiet < 2 && looks < 2000; ++looks) {
        bool asleep = true;
        for (const auto& task : fs::directory_iterator("/proc/self/task")) {
            const std::string stat = test::read_file(task.path() / "stat");
            const std::size_t state = stat.rfind(')') + 2;
            asleep = asleep && (task.path().filename() == self ||
                                (state < stat.size() && stat[state] == 'S'));
        }
        quiet = asleep ? quiet + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The child runs from construction until kill_now or wait.
class CheckChild {
  public:
    // A busy machine may refuse a fork for a moment (a process or memory limit): retried for up
    // to 10 s, then reported, so that the test fails for its real reason.
    CheckChild(const std::string& exe_dir, const std::string& host, int port,
               rlim_t file_bytes = 0) {
        std::fflush(nullptr);
        wait_until_other_threads_sleep();
        for (int tries = 0;
             (pid_ = ::fork()) < 0 && (errno == EAGAIN || errno == ENOMEM) && tries < 1000; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (pid_ < 0)
            ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        if (pid_ == 0)
            ::_exit(check_in_child(exe_dir, host, port, file_bytes, out_.str() + "/events"));
    }
    ~CheckChild() { kill_now(); }
    CheckChild(const CheckChild&) = delete;
    CheckChild& operator=(const CheckChild&) = delete;

    // SIGKILL (unless it ended already), then reap.
    ChildResult kill_now() { return reap(std::chrono::seconds(0)); }
    // Waits up to 90 s for the child to end by itself, then kills it.
    ChildResult wait() { return reap(std::chrono::seconds(90)); }

  private:
    ChildResult reap(std::chrono::seconds patience) {
        if (pid_ <= 0)
            return {};
        std::optional<int> code = test::wait_exit(pid_, patience);
        EXPECT_TRUE(code || patience.count() == 0) << "check still running after 90 s";
        if (!code) {
            ::kill(pid_, SIGKILL);
            code = test::wait_exit(pid_, std::chrono::seconds(90));
        }
        pid_ = -1;
        ChildResult result{code.value_or(-1), {}};
        std::istringstream lines(test::read_file(out_.path() / "events"));
        for (std::string line; std::getline(lines, line);)
            result.events.push_back(line);
        return result;
    }

    test::TempDir out_;
    pid_t pid_ = -1;
};

// The records of launcher_verify_cache.txt in `dir` that still describe a file on disk (same size
// and last-write time) but whose recorded hash is not that file's content: a record that would
// let a wrong file pass as current. A stale record makes the next check hash the file again, and
// a record cut short by a kill mid-save never matches a manifest digest: neither is a lie.
inline std::vector<std::string> lying_cache_records(const fs::path& dir) {
    const updater::VerifyCache cache = updater::load_verify_cache(dir.string());
    std::vector<std::string> lies;
    for (const auto& [path, record] : cache) {
        const std::string local = (dir / fs::u8path(path)).string();
        const updater::FileStat stat = updater::file_stat(local);
        if (stat.ok && stat.size == record.size && stat.mtime == record.mtime &&
            record.sha256.size() == 64 && updater::sha256_file(local) != record.sha256)
            lies.push_back(path);
    }
    return lies;
}

}  // namespace km::faults
