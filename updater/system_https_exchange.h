// HTTPS over the system's own stack (platform/system_https.h) in the connection's terms.
#pragma once

#include "platform/system_https.h"
#include "updater/http_connection.h"

namespace km::updater {

// One exchange: the request and handlers handed over as they stand, the system's failures
// told as the HTTP library's codes, so that players read the same texts on every platform.
TransferError system_https_exchange(platform::SystemHttpsConnection& connection,
                                    const HttpRequest& request, const HttpHandlers& handlers);

}  // namespace km::updater
