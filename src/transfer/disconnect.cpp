// Ending an exchange: closes what the request holds open, marks it closed,
// ends the driver's loop with its one quit message and records the result.
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

int httpDisconnect(RequestInfo* req, int code, int error) {
    if (!req) return code;
    // A reply that looked whole is not stored when its file fails to close;
    // an ending that already has its own code keeps it.
    int lost = releaseConnection(req);
    if (code == 0) code = lost;
    // The quit goes out once per record; a cleared window means it was sent
    // already, or the driver is destroying the record and wants none.
    if (req->hwnd) {
        plat::PostMessageA(req->hwnd, plat::kWmQuit, 0, 0);
        req->hwnd = nullptr;
    }
    recordResult(req, code, error);
    return code;
}

void recordResult(RequestInfo* req, int code, int error) {
    if (!req || req->result != 0 || code == 0) return;
    req->result = code;
    req->neterror = error;
}

}  // namespace quodra
