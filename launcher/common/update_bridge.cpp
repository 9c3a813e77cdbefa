#include "launcher/common/update_bridge.h"

#include <utility>

#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/log.h"
#include "platform/platform.h"

namespace km {

updater::ServerAddress content_server() {
    return {launcher_config.host, launcher_config.port,
            launcher_config.https ? updater::Scheme::https : updater::Scheme::http};
}

updater::UpdateTarget update_target() {
    updater::UpdateTarget target{exe_dir, launcher_config.host, launcher_config.port,
                                 launcher_config.manifest, launcher_config.game_exe};
    target.scheme = content_server().scheme;
    return target;
}

void PageCheckObserver::updating(bool is_updating) {
    post_ui_event_reliably(event_text::updating(is_updating));
}

void PageCheckObserver::progress(const char* status, const char* state, double fraction) {
    // The parts first: a repeat is dropped before its text is built.
    std::string digits = event_text::fraction(fraction);
    if (digits == fraction_ && status_ == status && state_ == state)
        return;
    // One buffer for the check's thread: a check of a large installation sends one "Checking"
    // event per file, and each would otherwise build and free a text of its own.
    thread_local std::string text;
    text.clear();
    event_text::append_progress(text, status, state, fraction);
    // Two statuses can differ only past the cut that ends every event.
    const bool repeat = text == text_;
    status_ = status;
    state_ = state;
    fraction_ = std::move(digits);
    text_.swap(text);
    if (!repeat)
        post_ui_event(text_);
}

void PageCheckObserver::final_progress(const char* status, const char* state) {
    status_ = status;
    state_ = state;
    fraction_ = event_text::fraction(1.0);
    text_ = event_text::progress(status, state, 1.0);
    post_ui_event_reliably(text_);
}

void PageCheckObserver::server_status(bool online) {
    // Going offline ends the check: the page must hear it.
    if (online)
        send_server_status(true);
    else
        post_ui_event_reliably(event_text::server_status(false));
}

void PageCheckObserver::version(const std::string& text) {
    send_version(text);
}

void PageCheckObserver::update_complete(int downloaded, bool restart_needed) {
    post_ui_event_reliably(event_text::update_complete(downloaded, restart_needed));
}

void PageCheckObserver::transfer(std::uint64_t done, std::uint64_t total, std::uint64_t rate,
                                 bool paused) {
    // The first and last reports frame the line the page draws: they must arrive.
    const std::string text = event_text::transfer(done, total, rate, paused);
    if (paused || done == 0 || done >= total)
        post_ui_event_reliably(text);
    else
        post_ui_event(text);
}

void PageCheckObserver::reload_page() {
    log_event("page", "reload: the check updated the page's files");
    post_reliably(
        [] { return platform::post_window_request(platform::WindowRequest::reload_page); });
}

void PageCheckObserver::restart_prompt() {
    post_reliably(
        [] { return platform::post_window_request(platform::WindowRequest::restart_prompt); });
}

void PageCheckObserver::summary(const updater::CheckSummary& summary) {
    log_event("check", check_log_text(summary));
}

std::string check_log_text(const updater::CheckSummary& s) {
    std::string text = s.ok ? "ok" : "failed";
    if (s.repair)
        text += " repair";
    // An HTTPS server says so; a plain one reads as it always did.
    const std::string scheme = s.scheme == updater::Scheme::https ? "https://" : "";
    text += " server=" + scheme + s.host + ":" + std::to_string(s.port) +
            " manifest=" + (s.version.empty() ? "-" : s.version) +
            " checked=" + std::to_string(s.checked) +
            " downloaded=" + std::to_string(s.downloaded) + " in_use=" + std::to_string(s.in_use) +
            " bytes=" + std::to_string(s.bytes) + " ms=" + std::to_string(s.milliseconds) +
            " status=" + log_quoted(s.status);
    if (!s.failed_path.empty())
        text += " path=" + log_quoted(s.failed_path) + " error=" + log_quoted(s.error);
    return text;
}

bool run_update_check_impl(bool repair) {
    PageCheckObserver observer;
    return updater::run_update_check(update_target(), observer, repair);
}

}  // namespace km
