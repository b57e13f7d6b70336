// Where the reply goes, made at the one moment it is known that there is a
// reply: its final head has arrived whole. Until then the caller's output
// file is left as it was (or absent), whatever ends the exchange: a peer
// that closes, resets or stays silent costs the caller nothing.
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The call's word on the reply, before anything of it is stored: a reply it
// answers or follows ends the exchange at once, its body never stored nor
// waited for, and one it refuses ends it with its code.
bool replyKept(RequestInfo* req) {
    int verdict = req->judgeHead ? req->judgeHead(req->judgeCall, req) : HEAD_KEPT;
    if (verdict == HEAD_KEPT) return true;
    req->passedOn = verdict == HEAD_PASSED_ON ? 1 : 0;
    endExchange(req, req->passedOn ? RESULT_OK : verdict);
    return false;
}

}  // namespace

bool finalHeadArrived(RequestInfo* req) {
    // The server has answered: the rest of the request is not sent.
    stopSending(req);
    if (!replyKept(req)) return false;
    // A FIFO or a device has been held open since the call was checked.
    if (req->outHeld >= 0) {
        req->outFd = req->outHeld;
        return true;
    }
    req->outFd = req->outFile ? plat::openOut(req->outFile) : -1;
    if (req->outFd < 0) {
        // Checked before anything was sent, the output can still fail here
        // (its folder removed meanwhile, a right only the open tells). The
        // head is kept: the caller can still read what the server did.
        req->outFd = -1;
        endExchange(req, RESULT_NO_OUTPUT);
        return false;
    }
    return true;
}

}  // namespace quodra
