// Sending the request on a non-blocking socket: the texts of the record from
// their send position, the body file in 1,024-byte chunks, and the write
// event that runs the senders until the socket is full or the request is out.
// Nothing is allocated or copied: texts go out from the record's strings,
// and file bytes the socket did not take are read again, not kept.
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The state machine decides whether sending goes on: only a new sending
// state (value 0) lets the loop continue.
int advance(RequestInfo* req) { return setNextState(req) == 0 ? 1 : 0; }

bool inSendingState(const RequestInfo* req) {
    return req->state >= STATE_SEND_REQUEST && req->state <= STATE_SEND_FORMFOOTER;
}

}  // namespace

int SendData(RequestInfo* req) {
    if (!req || !req->sendbuf) return 0;
    int remaining = textLength(req->sendbuf) - req->sendpos;
    if (remaining <= 0) return advance(req);

    int taken = plat::send(req->sock, req->sendbuf + req->sendpos, remaining, 0);
    if (taken > 0) {
        noteProgress(req);
        // Only the pieces after the header block make up the announced body.
        if (req->state > STATE_SEND_HEADERS) req->bytessent += taken;
    }
    if (taken == remaining) return advance(req);
    if (taken >= 0) {
        req->sendpos += taken;
        return 1;
    }
    int error = plat::WSAGetLastError();
    if (error != plat::kErrWouldBlock) httpDisconnect(req, socketFailure(error));
    return 0;
}

int SendFile(RequestInfo* req) {
    if (!req || !req->sendbuf || req->sock == plat::kInvalidSocket) return 0;
    if (req->infd < 0) return 0;

    // Never more than announced: the rest of a file that grew is left.
    if (req->fileleft <= 0) return advance(req);
    int want = req->fileleft < SEND_CHUNK ? static_cast<int>(req->fileleft) : SEND_CHUNK;

    char chunk[SEND_CHUNK];
    int n = plat::readFile(req->infd, chunk, want);
    // A read error ends the file like its end does; a body that falls short
    // of its announced length is caught when receiving begins.
    if (n <= 0) return advance(req);

    int taken = plat::send(req->sock, chunk, n, 0);
    if (taken > 0) {
        noteProgress(req);
        req->bytessent += taken;
        req->fileleft -= taken;
    }
    // A chunk shorter than asked for is the end of the file.
    if (taken == n) return n < want || req->fileleft == 0 ? advance(req) : 1;
    if (taken >= 0) {
        // Step back over what the socket left, so the next call re-reads it.
        if (plat::seekCur(req->infd, static_cast<int64_t>(taken) - n) < 0) {
            httpDisconnect(req, RESULT_SEEK_FAILED);
            return 0;
        }
        return 1;
    }
    int error = plat::WSAGetLastError();
    if (error != plat::kErrWouldBlock) {
        httpDisconnect(req, socketFailure(error));
        return 0;
    }
    if (plat::seekCur(req->infd, -static_cast<int64_t>(n)) < 0)
        httpDisconnect(req, RESULT_SEEK_FAILED);
    return 0;
}

void OnSocketWrite(RequestInfo* req) {
    if (!req) return;
    int step = 1;
    // A sender may end the exchange or leave the sending states: the record
    // is looked at afresh before every step.
    while (step != 0 && req->result == 0 && inSendingState(req))
        step = req->sendfromfile == 1 ? SendFile(req) : SendData(req);
}

}  // namespace quodra
