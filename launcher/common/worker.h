// The launcher's one way to run a job off the window's thread.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

namespace km {

// Runs `job` on a detached thread. Nothing may unwind out of a worker (it would end the whole
// launcher), so an exception ends only the job: each job reports its own failures to the page.
// False when no thread could be made; the job is then dropped, as if its server were unreachable.
template <class Job>
bool start_worker(Job job) noexcept {
    try {
        std::thread([job = std::move(job)]() mutable {
            try {
                job();
            } catch (...) {
            }
        }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace km
