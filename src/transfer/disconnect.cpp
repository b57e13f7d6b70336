// Ending an exchange: the one place that closes a request's files and socket,
// marks it closed, ends the driver's loop and records the result.
#include "../platform/constants.h"
#include "transfer.h"

int httpDisconnect(RequestInfo* req, int code) {
    if (!req) return code;
    if (req->infd >= 0) {
        plat::closeFile(req->infd);
        req->infd = -1;
    }
    if (req->outfp) {
        plat::closeOut(req->outfp);
        req->outfp = nullptr;
    }
    if (req->sock != plat::INVALID_SOCKET) plat::closesocket(req->sock);
    req->sock = plat::INVALID_SOCKET;
    req->state = STATE_CLOSED;
    // The quit goes out once per record; a cleared window means it was sent
    // already, or the driver is destroying the record and wants none.
    if (req->hwnd) {
        plat::PostMessageA(req->hwnd, plat::WM_QUIT, 0, 0);
        req->hwnd = nullptr;
    }
    recordResult(req, code);
    return code;
}

void recordResult(RequestInfo* req, int code) {
    if (req && req->result == 0) req->result = code;
}
