// Ending an exchange: closes what the request holds open, marks it closed,
// ends the driver's loop with its one quit message and records the result.
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

int endExchange(RequestInfo* req, int code, int error) {
    // The first ending stands: an exchange ended already keeps its result.
    if (!req || ended(req)) return code;
    // The output first: a reply that looked whole is not stored when its
    // file cannot be finished (closed, given its time, or put in the old
    // one's place); an ending that already has its own code keeps it.
    code = finishOutput(req, code);
    // A connection fit for another request is kept for it rather than
    // closed (a request that may keep it only).
    if (req->keepAlive) keepConnection(req);
    int lost = releaseConnection(req);
    if (code == 0 && lost) fileWhy(req, "closing", req->outFile, plat::fileError());
    if (code == 0) code = lost;
    // The quit goes out once per exchange, with its end; the loop then
    // takes what is queued up to it. While the host's progress callback
    // runs, a loop of its own could take it: it waits for the callback.
    if (req->hwnd && req->watch && req->watch->reporting) req->quitOwed = 1;
    else if (req->hwnd) plat::PostMessageA(req->hwnd, plat::kWmQuit, 0, 0);
    recordResult(req, code, error);
    return code;
}

void recordResult(RequestInfo* req, int code, int error) {
    if (!req || req->result != 0 || code == 0) return;
    req->result = code;
    req->netError = error;
}

}  // namespace quodra
