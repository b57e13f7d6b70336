// Sending the request on a non-blocking socket: the texts of the record from
// their send position, the body file, and the write event that runs the
// senders until the socket is full or the request is out.
//
// The texts before the body (request line, header block, form prologue) go
// out in one send where they fit the transfer buffer together, so that a
// request costs the peer one segment, not one per text. The body file goes
// straight from the file to the socket where the platform can do that, else
// in chunks of the transfer buffer, with the file bytes the socket did not
// take read again rather than kept. Nothing is allocated, and a text is
// copied only to join it with the ones after it.
#include <cstring>

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

// Copies the rest of the current text and the whole texts that follow it
// (up to the body file or the reply) into the transfer buffer, as far as
// they fit together; the count copied, or 0 when no text after the current
// one fits, which is then sent from the record as it is.
int gatherTexts(RequestInfo* req, int rest) {
    char* buf = req->io;
    int total = 0;
    for (int state = stateAfter(req, req->state);; state = stateAfter(req, state)) {
        const char* text = stateText(req, state);
        if (!text) break;
        int len = textLength(text);
        if ((total ? total : rest) + len > TRANSFER_BUFFER) break;
        if (!total) {
            std::memcpy(buf, req->sendbuf + req->sendpos, static_cast<size_t>(rest));
            total = rest;
        }
        std::memcpy(buf + total, text, static_cast<size_t>(len));
        total += len;
    }
    return total;
}

// Accounts for taken bytes of the current text and the texts after it:
// each text taken whole moves the state on; 1 to go on sending, 0 to stop.
int textsTaken(RequestInfo* req, int taken) {
    for (;;) {
        int rest = textLength(req->sendbuf) - req->sendpos;
        int used = taken < rest ? taken : rest;
        // Only the pieces after the header block make up the announced body.
        if (req->state > STATE_SEND_HEADERS) req->bytessent += used;
        taken -= used;
        if (used < rest) {
            req->sendpos += used;
            return 1;
        }
        if (!advance(req)) return 0;
        // Only whole texts were gathered after the first, so bytes left over
        // belong to the text of the state just entered.
        if (taken == 0 || !req->sendbuf || req->sendfromfile) return 1;
    }
}

// Body-file bytes the socket took: they count, and leave the file's share.
void fileTaken(RequestInfo* req, int taken) {
    if (taken <= 0) return;
    noteProgress(req);
    req->bytessent += taken;
    req->fileleft -= taken;
}

// After a failed send: true when the socket is only full (its write event
// follows); any other failure has ended the exchange with its number.
bool socketFull(RequestInfo* req) {
    int error = plat::WSAGetLastError();
    if (error == plat::kErrWouldBlock) return true;
    httpDisconnect(req, socketFailure(error));
    return false;
}

}  // namespace

int SendData(RequestInfo* req) {
    if (!req || !req->sendbuf) return 0;
    int rest = textLength(req->sendbuf) - req->sendpos;
    if (rest <= 0) return advance(req);

    int len = gatherTexts(req, rest);
    const char* out = len ? req->io : req->sendbuf + req->sendpos;
    if (!len) len = rest;
    int taken = plat::send(req->sock, out, len, 0);
    if (taken < 0) {
        socketFull(req);
        return 0;
    }
    if (taken > 0) noteProgress(req);
    return textsTaken(req, taken);
}

int SendFile(RequestInfo* req) {
    if (!req || !req->sendbuf || req->sock == plat::kInvalidSocket) return 0;
    if (req->infd < 0) return 0;

    // Never more than announced: the rest of a file that grew is left.
    if (req->fileleft <= 0) return advance(req);
    int want = req->fileleft < SEND_CHUNK ? static_cast<int>(req->fileleft) : SEND_CHUNK;

    if (!req->filecopy) {
        int taken = plat::sendFile(req->sock, req->infd, want);
        if (taken != plat::kNotServed) {
            if (taken < 0) {
                socketFull(req);
                return 0;
            }
            fileTaken(req, taken);
            // Nothing more of the file is its end: a body that falls short
            // of its announced length is caught when receiving begins.
            return taken == 0 || req->fileleft <= 0 ? advance(req) : 1;
        }
        req->filecopy = 1;
    }

    char* chunk = req->io;
    int n = plat::readFile(req->infd, chunk, want);
    // A read error ends the file like its end does.
    if (n <= 0) return advance(req);

    int taken = plat::send(req->sock, chunk, n, 0);
    if (taken < 0) {
        // A full socket: the whole chunk is read again when room comes.
        if (socketFull(req) && plat::seekCur(req->infd, -static_cast<int64_t>(n)) < 0)
            httpDisconnect(req, RESULT_SEEK_FAILED);
        return 0;
    }
    fileTaken(req, taken);
    if (taken < n) {
        // Step back over what the socket left, so the next call re-reads it.
        if (plat::seekCur(req->infd, static_cast<int64_t>(taken) - n) < 0) {
            httpDisconnect(req, RESULT_SEEK_FAILED);
            return 0;
        }
        return 1;
    }
    // A chunk shorter than asked for is the end of the file.
    return n < want || req->fileleft <= 0 ? advance(req) : 1;
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
