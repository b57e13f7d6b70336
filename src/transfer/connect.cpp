// Starting an exchange: the asynchronous host lookup.
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

int httpConnect(RequestInfo* req) {
    if (!req || !req->hwnd) {
        recordResult(req, RESULT_REFUSED);
        return 1;
    }
    // Without its buffer the lookup would write into storage never obtained;
    // the missing buffer was reported when the record was made.
    if (!req->hostentbuf) {
        recordResult(req, RESULT_REFUSED);
        return 1;
    }
    uint32_t addr = plat::inet_addr(req->host);
    plat::Handle task;
    if (addr == plat::kInaddrNone)
        task = plat::WSAAsyncGetHostByName(req->hwnd, WM_HOSTNOTIFY, req->host,
                                           req->hostentbuf, HOSTENT_BUFFER);
    else
        task = plat::WSAAsyncGetHostByAddr(
            req->hwnd, WM_HOSTNOTIFY, reinterpret_cast<const char*>(&addr), 4,
            plat::kAfInet, req->hostentbuf, HOSTENT_BUFFER);
    if (task) {
        req->lookuptask = task;
        noteProgress(req);
        return 0;
    }
    int error = plat::WSAGetLastError();  // before the box's loop can change it
    showError("Could not get IP address (1)", req->host);
    recordResult(req, RESULT_REFUSED, error);
    return 1;
}

}  // namespace quodra
