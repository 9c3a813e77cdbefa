// Beta sign-in against the beta server, and remembered credentials.
#pragma once

#include <memory>
#include <string>

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
void escape_login_field(const std::string& text, std::string& out);
std::string base64_encode(const std::string& bytes);
std::string base64_decode(const std::string& text);

}  // namespace km
