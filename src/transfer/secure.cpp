// The secure connection as the core sees it: one step in making the socket
// (the platform turns it into a TLS client for the URL's host, checking its
// certificate unless the call was started with the checks off), and what the
// secure socket's own failures mean as results.
#include <cstdio>

#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

int makeSecure(RequestInfo* req, plat::Socket sock) {
    // To a proxy the socket speaks plainly: an https request's TLS starts
    // inside the tunnel, once the proxy has opened it.
    if (!req->secure || req->proxyHost) return 0;
    int flags = req->noVerify ? plat::kSecureNoVerify : 0;
    if (plat::secureSocket(sock, req->host, flags) == 0) return 0;
    return RESULT_TLS_FAILED;
}

void secureWhy(RequestInfo* req, plat::Socket sock, int code) {
    if (code != RESULT_TLS_FAILED && code != RESULT_CERT_REJECTED) return;
    char reason[512];
    if (plat::secureFailure(sock, reason, sizeof reason) <= 0)
        std::snprintf(reason, sizeof reason, "%s", resultMeaning(code));
    const char* host = req->host ? req->host : "";
    if (code == RESULT_CERT_REJECTED) noteWhy(req, "certificate of %s: %s", host, reason);
    else noteWhy(req, "secure connection to %s: %s", host, reason);
}

int resultOfSocketError(int error) {
    switch (error) {
    case plat::kErrSecureFailed: return RESULT_TLS_FAILED;
    case plat::kErrCertRejected: return RESULT_CERT_REJECTED;
    // Cut short: a reply that was already whole never gets here.
    case plat::kErrSecureTruncated: return RESULT_ENDED_EARLY;
    default: return error;
    }
}

int resultOfConnectError(int error) {
    int code = resultOfSocketError(error);
    return code != error ? code : RESULT_REFUSED;
}

}  // namespace quodra
