// Beta sign-in against the beta server, and remembered credentials.
#pragma once

#include <memory>
#include <string>

#include "launcher/common/json_text.h"
#include "updater/http_connection.h"

namespace km {

struct BetaLoginRequest {
    std::string username;
    std::string password;
    bool remember = false;
};

// The beta server of KM_BETA_URL, with its scheme, and the path the sign-in posts to.
updater::ServerAddress beta_server();

// Signs in at the build's beta server; beta_login_at asks another (tests).
void beta_login(BetaLoginRequest& request);
void beta_login_at(const updater::ServerAddress& server, const std::string& path,
                   BetaLoginRequest& request);
void start_beta_login(std::unique_ptr<BetaLoginRequest> request);
void save_beta_creds(const std::string& username, const std::string& password);
void send_saved_beta_creds();
std::string beta_creds_path();

}  // namespace km
