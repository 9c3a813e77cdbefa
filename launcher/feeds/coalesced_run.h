// One detached worker at a time for a job that any number of commands may ask for (the server
// probe and the banners run of every `ready`). A request while the job runs asks for one more
// run after it: every request is still followed by a run that began after it, and a burst of
// requests costs one thread and at most two runs instead of one thread each.
#pragma once

#include <atomic>

#include "launcher/common/worker.h"

namespace km {

struct CoalescedRun {
    std::atomic<bool> running{false};
    std::atomic<bool> again{false};
};

// `job` must not throw.
inline void request_coalesced_run(CoalescedRun& run, void (*job)()) {
    run.again.store(true);
    if (run.running.exchange(true))
        return;  // the running worker sees `again` and goes round once more
    const bool started = start_worker([&run, job] {
        do {
            while (run.again.exchange(false))
                job();
            run.running.store(false);
            // A request that came between the last run and the store above found the worker
            // still running: take the work back unless a new worker already has.
        } while (run.again.load() && !run.running.exchange(true));
    });
    if (!started)
        run.running.store(false);  // no thread to be had: the next request tries again
}

}  // namespace km
