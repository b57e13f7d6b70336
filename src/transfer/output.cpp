// Where the reply goes, made at the one moment it is known that there is a
// reply: its final head has arrived whole. Until then the caller's output
// file is left as it was (or absent), whatever ends the exchange: a peer
// that closes, resets or stays silent costs the caller nothing. A call that
// keeps the old output has the reply written to a new file beside it, which
// replaces the output only as the exchange ends with 0.
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The call's word on the reply, before anything of it is stored: a reply it
// answers or follows ends the exchange at once, its body never stored nor
// waited for, and one it refuses ends it with its code.
bool replyKept(RequestInfo* req) {
    if (!req->judgeHead) return true;
    req->headJudged = 1;
    int verdict = req->judgeHead(req->judgeCall, req);
    if (verdict == HEAD_KEPT) return true;
    req->passedOn = verdict == HEAD_PASSED_ON ? 1 : 0;
    endExchange(req, req->passedOn ? RESULT_OK : verdict);
    return false;
}

// Opens the output for the body as store says; false when it cannot be.
bool openOutput(RequestInfo* req, Store store) {
    // A FIFO or a device has been held open since the call was checked and
    // is written as it is: there is nothing of it to keep.
    if (req->outHeld >= 0) {
        req->outFd = req->outHeld;
        return true;
    }
    if (!req->outFile) return false;
    if (store == Store::Append) {
        // The rest goes on the file the request measured; one that changed
        // size since then (another writer) is not added to.
        int64_t end = -1;
        req->outFd = plat::openAppend(req->outFile, &end);
        if (req->outFd >= 0 && end != req->resumeFrom) {
            plat::closeOut(req->outFd);
            req->outFd = -1;
        }
    } else if (keepsOld(req)) {
        req->outFd = plat::openBeside(req->outFile, &req->beside);
    } else {
        req->outFd = plat::openOut(req->outFile);
    }
    if (req->outFd < 0) req->outFd = -1;
    return req->outFd >= 0;
}

}  // namespace

bool finalHeadArrived(RequestInfo* req) {
    // The server has answered: the rest of the request is not sent.
    stopSending(req);
    if (!replyKept(req)) return false;
    Answer answer = answerOf(req);
    if (answer.store == Store::Nothing) {
        // The output stays as it is, and a body the reply may carry is not
        // read: it has nowhere to go.
        endExchange(req, answer.code);
        return false;
    }
    if (!openOutput(req, answer.store)) {
        // Checked before anything was sent, the output can still fail here
        // (its folder removed meanwhile, a right only the open tells). The
        // head is kept: the caller can still read what the server did.
        fileWhy(req, "creating", req->outFile, plat::fileError());
        endExchange(req, RESULT_NO_OUTPUT);
        return false;
    }
    req->modified = modifiedOf(req);
    return true;
}

int finishOutput(RequestInfo* req, int code) {
    int fd = req->outFd;
    // A held output is the call's to close, after its last exchange.
    if (fd < 0 || fd == req->outHeld) return code;
    req->outFd = -1;
    // The server's time goes on a whole reply only, once its last byte is in.
    if (code == RESULT_OK && req->modified != NO_TIME && plat::setModified(fd, req->modified) != 0)
        code = RESULT_NO_OUTPUT;
    if (req->beside.temp[0]) {
        if (code == RESULT_OK)
            return plat::replaceWithBeside(fd, &req->beside) == 0 ? RESULT_OK : RESULT_NO_OUTPUT;
        plat::closeOut(fd);
        plat::removeBeside(&req->beside);
        return code;
    }
    // A failed close may have lost bytes already counted as stored (a file
    // system that reports write errors only then); an ending that has its
    // own code keeps it.
    if (plat::closeOut(fd) != 0 && code == RESULT_OK) code = RESULT_NO_OUTPUT;
    return code;
}

}  // namespace quodra
