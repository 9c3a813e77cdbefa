// Beta sign-in against the beta server, and remembered credentials.
#pragma once

#include <memory>
#include <string>

#include "launcher/common/json_text.h"

namespace km {

struct BetaLoginRequest {
    std::string username;
    std::string password;
    bool remember = false;
};

inline constexpr int beta_port = 8080;

void beta_login(BetaLoginRequest& request);
void start_beta_login(std::unique_ptr<BetaLoginRequest> request);
void save_beta_creds(const std::string& username, const std::string& password);
void send_saved_beta_creds();
std::string beta_creds_path();

}  // namespace km
