// Placeholder until beta access lands: deliberately does nothing.
#include "launcher/beta/beta.h"

namespace km {
void start_beta_login(std::unique_ptr<BetaLoginRequest>) {}
void send_saved_beta_creds() {}
std::string beta_creds_path() { return {}; }
}  // namespace km
