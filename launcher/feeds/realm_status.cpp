// The server-online probe and the realm status poller.
#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/update_bridge.h"
#include "launcher/common/worker.h"
#include "launcher/feeds/coalesced_run.h"
#include "launcher/feeds/feeds.h"
#include "updater/transfers.h"

namespace km {

std::atomic<bool> realm_poll_started{false};

namespace {

// A slow server must not collect a growing pile of fetch threads: a tick whose previous fetch
// still runs starts none.
std::atomic<bool> fetch_running{false};

void start_one_fetch() {
    if (fetch_running.exchange(true))
        return;
    // A failed poll is silent; the next tick tries again.
    const bool started = start_worker([] {
        struct Done {
            ~Done() { fetch_running.store(false); }
        } done;
        fetch_realm_status();
    });
    if (!started)
        fetch_running.store(false);
}

}  // namespace

void probe_server() {
    std::string body, error;
    const bool online = updater::http_get(content_server(), launcher_config.manifest, body, error);
    send_server_status(online);
    // The check claims the update flag itself and returns at once when another check holds it,
    // so a probe never runs a second check beside a running one.
    if (online)
        run_update_check_impl(false);
}

void fetch_realm_status() {
    std::string body, error;
    if (!updater::http_get(content_server(), "/realm_status.json", body, error))
        return;
    if (is_one_json_value(body))
        send_realm_status(body);
}

bool is_one_json_value(const std::string& text) {
    // The library's lexer takes a NUL for the end of its input and would accept what follows.
    if (text.find('\0') != std::string::npos)
        return false;
    return nlohmann::json::accept(text.begin(), text.end());
}

bool realm_fetch_in_flight() {
    return fetch_running.load();
}

void poll_realm_status() {
    while (realm_poll_started.load()) {
        start_one_fetch();
        for (int i = 0; i < 2; ++i) {
            if (!realm_poll_started.load())
                return;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
}

void start_probe_server() {
    // A burst of ready commands must not pile up one blocked probe thread each.
    static CoalescedRun run;
    request_coalesced_run(run, [] {
        try {
            probe_server();
        } catch (...) {
            // The check inside reports its own end; nothing else to tell the page.
        }
    });
}

void start_realm_poller() {
    bool expected = false;
    if (!realm_poll_started.compare_exchange_strong(expected, true))
        return;
    // No poller thread: let the next ready command try again instead of never polling.
    if (!start_worker(poll_realm_status))
        realm_poll_started.store(false);
}

}  // namespace km
