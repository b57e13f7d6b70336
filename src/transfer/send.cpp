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
// state lets the loop continue.
Step advance(RequestInfo* req) {
    return enterNextState(req) == Entered::Sending ? Step::Again : Step::Stop;
}

// Copies the rest of the current text and the whole texts that follow it
// (up to the body file or the reply) into the transfer buffer, as far as
// they fit together; the count copied, or 0 when no text after the current
// one fits, which is then sent from the record as it is.
int gatherTexts(RequestInfo* req, int rest) {
    char* buf = req->io;
    int total = 0;
    for (State state = stateAfter(req, req->state);; state = stateAfter(req, state)) {
        const char* text = stateText(req, state);
        if (!text) break;
        int len = textLength(text);
        if ((total ? total : rest) + len > TRANSFER_BUFFER) break;
        if (!total) {
            std::memcpy(buf, req->sendText + req->sendPos, static_cast<size_t>(rest));
            total = rest;
        }
        std::memcpy(buf + total, text, static_cast<size_t>(len));
        total += len;
    }
    return total;
}

// Accounts for taken bytes of the current text and the texts after it:
// each text taken whole moves the state on.
Step textsTaken(RequestInfo* req, int taken) {
    for (;;) {
        int rest = textLength(req->sendText) - req->sendPos;
        int used = taken < rest ? taken : rest;
        // Only the pieces after the header block make up the announced body.
        if (req->state > State::SendHeaders) req->bodySent += used;
        taken -= used;
        if (used < rest) {
            req->sendPos += used;
            return Step::Again;
        }
        if (advance(req) == Step::Stop) return Step::Stop;
        // Only whole texts were gathered after the first, so bytes left over
        // belong to the text of the state just entered.
        if (taken == 0 || !req->sendText) return Step::Again;
    }
}

// Body-file bytes the socket took: they count, and leave the file's share.
void fileTaken(RequestInfo* req, int taken) {
    if (taken <= 0) return;
    noteProgress(req);
    req->bodySent += taken;
    req->fileLeft -= taken;
}

// The body file could not step back over what the socket left.
void seekFailed(RequestInfo* req) {
    char said[512];
    fileWords(plat::fileError(), said, sizeof said);
    noteWhy(req, "body file \"%s\" could not be repositioned: %s", req->inFile, said);
    endExchange(req, RESULT_SEEK_FAILED);
}

// After a failed send: true when the socket is only full (its write event
// follows); any other failure has stopped the sending, and the reply that
// came before it, or else the failure, ends the exchange.
bool socketFull(RequestInfo* req) {
    int error = plat::WSAGetLastError();
    if (error == plat::kErrWouldBlock) return true;
    sendFailed(req, error);
    return false;
}

}  // namespace

Step sendText(RequestInfo* req) {
    if (!req || !req->sendText) return Step::Stop;
    int rest = textLength(req->sendText) - req->sendPos;
    if (rest <= 0) return advance(req);

    int len = gatherTexts(req, rest);
    const char* out = len ? req->io : req->sendText + req->sendPos;
    if (!len) len = rest;
    int taken = plat::send(req->sock, out, len, 0);
    if (taken < 0) {
        socketFull(req);
        return Step::Stop;
    }
    if (taken > 0) noteProgress(req);
    return textsTaken(req, taken);
}

Step sendBodyFile(RequestInfo* req) {
    if (!req || req->sock == plat::kInvalidSocket || req->inFd < 0) return Step::Stop;

    // Never more than announced: the rest of a file that grew is left.
    if (req->fileLeft <= 0) return advance(req);
    int want = req->fileLeft < SEND_CHUNK ? static_cast<int>(req->fileLeft) : SEND_CHUNK;

    if (!req->fileByCopy) {
        int taken = plat::sendFile(req->sock, req->inFd, want);
        if (taken != plat::kNotServed) {
            if (taken < 0) {
                socketFull(req);
                return Step::Stop;
            }
            fileTaken(req, taken);
            // Nothing more of the file is its end: a body that falls short
            // of its announced length is caught when receiving begins.
            return taken == 0 || req->fileLeft <= 0 ? advance(req) : Step::Again;
        }
        req->fileByCopy = 1;
    }

    char* chunk = req->io;
    int n = plat::readFile(req->inFd, chunk, want);
    // A read error ends the file like its end does; the body then falls
    // short, and the error says why.
    if (n < 0) req->bodyReadError = plat::fileError();
    if (n <= 0) return advance(req);

    int taken = plat::send(req->sock, chunk, n, 0);
    if (taken < 0) {
        // A full socket: the whole chunk is read again when room comes.
        if (socketFull(req) && plat::seekCur(req->inFd, -static_cast<int64_t>(n)) < 0)
            seekFailed(req);
        return Step::Stop;
    }
    fileTaken(req, taken);
    if (taken < n) {
        // Step back over what the socket left, so the next call re-reads it.
        if (plat::seekCur(req->inFd, static_cast<int64_t>(taken) - n) < 0) {
            seekFailed(req);
            return Step::Stop;
        }
        return Step::Again;
    }
    // A chunk shorter than asked for is the end of the file.
    return n < want || req->fileLeft <= 0 ? advance(req) : Step::Again;
}

void OnSocketWrite(RequestInfo* req) {
    if (!req) return;
    Step step = Step::Again;
    // A sender may end the exchange or leave the sending states: the record
    // is looked at afresh before every step.
    while (step == Step::Again && sendingState(req->state))
        step = req->state == State::SendBody ? sendBodyFile(req) : sendText(req);
}

}  // namespace quodra
