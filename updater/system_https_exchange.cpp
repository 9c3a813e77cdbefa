#include "updater/system_https_exchange.h"

namespace km::updater {

namespace {

TransferError transfer_error(platform::SystemHttpsError error) {
    using E = platform::SystemHttpsError;
    switch (error) {
        case E::none:
            return TransferError::success;
        case E::connection:
            return TransferError::connection;
        case E::connection_timeout:
            return TransferError::connection_timeout;
        case E::read:
            return TransferError::read;
        case E::write:
            return TransferError::write;
        case E::canceled:
            return TransferError::canceled;
        case E::tls:
            return TransferError::ssl_connection;
        case E::untrusted:
            return TransferError::ssl_server_verification;
        case E::unknown:
            break;
    }
    return TransferError::unknown;
}

}  // namespace

TransferError system_https_exchange(platform::SystemHttpsConnection& connection,
                                    const HttpRequest& request, const HttpHandlers& handlers) {
    platform::SystemHttpsRequest system_request;
    system_request.method = request.method;
    system_request.path = request.path;
    system_request.headers = request.headers;
    if (!request.content_type.empty())
        system_request.headers.emplace_back("Content-Type", request.content_type);
    system_request.body = request.body;
    platform::SystemHttpsHandlers system_handlers;
    system_handlers.head = [&handlers](int status, const platform::SystemHttpHeaders& headers) {
        if (!handlers.head)
            return true;
        HttpResponseHead head;
        head.status = status;
        head.headers = headers;
        return handlers.head(head);
    };
    system_handlers.body = handlers.body;
    system_handlers.progress = handlers.progress;
    return transfer_error(connection.send(system_request, system_handlers));
}

}  // namespace km::updater
