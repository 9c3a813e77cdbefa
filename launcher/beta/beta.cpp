// Beta sign-in against the beta server, and the remembered credentials under cache/.
#include "launcher/beta/beta.h"

#include <array>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include "km/build_config.h"
#include "launcher/common/app_state.h"
#include "launcher/common/events.h"
#include "launcher/common/json_text.h"
#include "launcher/common/log.h"
#include "launcher/common/worker.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "updater/status_texts.h"
#include "updater/transfers.h"

namespace km {
namespace {

namespace fs = std::filesystem;

// Login workers write the file and the window's thread reads it; one at a time, so two
// remembered sign-ins finishing together cannot interleave their bytes.
std::mutex& creds_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::string login_result_event(bool ok, const char* reason) {
    if (ok)
        return "{\"event\":\"betaLoginResult\",\"ok\":true}";
    return std::string("{\"event\":\"betaLoginResult\",\"ok\":false,\"reason\":\"") + reason +
           "\"}";
}

const char* failure_reason(int status, updater::TransferError failure) {
    if (status == 0 && updater::certificate_untrusted(failure))
        return texts::beta_untrusted;
    if (status == 0)
        return texts::beta_unreachable;
    if (status == 500)
        return texts::beta_server_error;
    return texts::beta_invalid;
}

}  // namespace

std::string beta_creds_path() {
    return exe_path("cache") + build::path_separator + "beta_creds.json";
}

void save_beta_creds(const std::string& username, const std::string& password) {
    const std::string content =
        "{\"u\":\"" + base64_encode(username) + "\",\"p\":\"" + base64_encode(password) + "\"}";
    std::lock_guard<std::mutex> guard(creds_mutex());
    const std::string path = beta_creds_path();
    if (link_on_the_way(exe_dir, path) || link_on_the_way(exe_dir, path + ".tmp"))
        return;  // the secret never goes where a link points
    std::error_code ec;
    fs::create_directories(fs::u8path(exe_path("cache")), ec);

    // A reader or a crash mid-write must never see half a file: write a temporary copy and
    // rename it over the old file. The copy is created new and owner-only in one step, so no
    // other account can open it before or while the secret goes in; a file system that cannot
    // say who may read it gets no secret.
    const fs::path final_path = fs::u8path(path);
    fs::path temp_path = final_path;
    temp_path += ".tmp";
    // A copy left by a crash would refuse every new one. Only a plain file goes (a link there
    // was refused above); whoever held it open keeps the old file, never the new secret.
    platform::remove_plain_file(path + ".tmp");
    if (!platform::create_new_file(path + ".tmp", content, true))
        return;
    fs::rename(temp_path, final_path, ec);
    if (ec)
        fs::remove(temp_path, ec);
}

void send_saved_beta_creds() {
    std::string content;
    {
        std::lock_guard<std::mutex> guard(creds_mutex());
        std::error_code ec;
        const fs::path path = fs::u8path(beta_creds_path());
        if (!fs::exists(path, ec))
            return;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return;
        // Reading through the stream buffer throws on a read error (a folder in the file's
        // place, a bad disk), which would cut the ready command short of starting its workers.
        try {
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::exception&) {
            return;
        }
    }
    const std::string u = json_get_string(content, "u");
    const std::string p = json_get_string(content, "p");
    if (u.empty() || p.empty())
        return;
    post_ui_event("{\"event\":\"betaSavedCreds\",\"username\":\"" + json_escape(base64_decode(u)) +
                  "\",\"password\":\"" + json_escape(base64_decode(p)) + "\"}");
}

updater::ServerAddress beta_server() {
    return {build::beta_url_host, build::beta_url_port,
            build::beta_url_https ? updater::Scheme::https : updater::Scheme::http};
}

void beta_login(BetaLoginRequest& request) {
    beta_login_at(beta_server(), build::beta_url_path, request);
}

void beta_login_at(const updater::ServerAddress& server, const std::string& path,
                   BetaLoginRequest& request) {
    std::string body = "{\"username\":\"";
    escape_login_field(request.username, body);
    body += "\",\"password\":\"";
    escape_login_field(request.password, body);
    body += "\"}";

    std::string answer;
    int status = 0;
    // Over HTTPS a certificate that does not verify ends the exchange before the body goes out:
    // the password never reaches a server that could not prove its name.
    updater::TransferError failure = updater::TransferError::success;
    const bool success = updater::http_post_json(server, path, body, answer, status, &failure);
    // Only the outcome is written down: never the name or the password.
    if (success && answer.find("\"ok\":true") != std::string::npos) {
        if (request.remember)
            save_beta_creds(request.username, request.password);
        log_event("beta", "sign-in accepted status=" + std::to_string(status));
        post_ui_event_reliably(login_result_event(true, nullptr));
        return;
    }
    const char* reason = failure_reason(status, failure);
    log_event("beta",
              "sign-in refused status=" + std::to_string(status) + " reason=" + log_quoted(reason));
    post_ui_event_reliably(login_result_event(false, reason));
}

void start_beta_login(std::unique_ptr<BetaLoginRequest> request) {
    start_worker([request = std::move(request)] { beta_login(*request); });
}

}  // namespace km
