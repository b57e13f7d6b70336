// Where the reply goes, made at the one moment it is known that there is a
// reply: its final head has arrived whole. Until then the caller's output
// file is left as it was (or absent), whatever ends the exchange: a peer
// that closes, resets or stays silent costs the caller nothing.
#include "transfer/transfer.h"

namespace quodra {

bool finalHeadArrived(RequestInfo* req) {
    // The server has answered: the rest of the request is not sent.
    stopSending(req);
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
        fileWhy(req, "creating", req->outFile, plat::fileError());
        endExchange(req, RESULT_NO_OUTPUT);
        return false;
    }
    return true;
}

}  // namespace quodra
