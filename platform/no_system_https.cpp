// Systems whose HTTPS the updater speaks through its own HTTP library: no stack of theirs.
#include "platform/system_https.h"

namespace km::platform {

struct SystemHttpsConnection::State {};

bool SystemHttpsConnection::available() {
    return false;
}

SystemHttpsConnection::SystemHttpsConnection(const std::string&, int) {}

SystemHttpsConnection::~SystemHttpsConnection() = default;

SystemHttpsError SystemHttpsConnection::send(const SystemHttpsRequest&,
                                             const SystemHttpsHandlers&) {
    return SystemHttpsError::connection;
}

void SystemHttpsConnection::stop() {}

}  // namespace km::platform
