// A stand-in for the beta server: POST /api/launcher_login accepts one demo account.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "km/build_config.h"

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : km::build::beta_host;
    const int port = argc > 2 ? std::atoi(argv[2]) : 8080;
    const char* user_set = std::getenv("KM_DEMO_BETA_USER");
    const char* password_set = std::getenv("KM_DEMO_BETA_PASSWORD");
    const std::string user = user_set ? user_set : "demo";
    const std::string password = password_set ? password_set : "ashvow";
    httplib::Server server;
    server.Post("/api/launcher_login", [&](const httplib::Request& request,
                                           httplib::Response& response) {
        const auto body = nlohmann::json::parse(request.body, nullptr, false);
        const bool accepted = body.is_object() && body.value("username", "") == user &&
                              body.value("password", "") == password;
        response.status = accepted ? 200 : 401;
        response.set_content(accepted ? R"({"ok":true})" : R"({"ok":false})", "application/json");
    });
    std::printf("beta server on %s:%d, account %s / %s\n", host.c_str(), port, user.c_str(),
                password.c_str());
    std::fflush(stdout);
    if (!server.listen(host, port)) {
        std::fprintf(stderr, "beta server: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    return 0;
}
