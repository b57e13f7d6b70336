// Capturing the reply: the head is kept in memory until its end, its
// Content-Length and status code are read from it, and every later byte is
// written to the output file, no more than an announced length: from the
// record's buffer, or received straight into the file where the platform
// can do that and the rest of the body is larger than the buffer. Interim
// (1xx) heads are passed over, and the exchange ends as soon as the reply is
// complete, without waiting for the peer to close.
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/reply_head.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

constexpr int HEAD_DONE = 4;
constexpr int HEAD_FIRST_BLOCK = 512;  // first size of the head buffer

// Walks head bytes until the head ends or the bytes run out; returns how
// many were consumed. The head ends at four CR/LF bytes in a row in any mix,
// and also at a second LF with only CRs since the first, so that a server
// ending its lines with a bare LF gets its body stored.
int walkHead(RequestInfo* req, const char* data, int len) {
    int i = 0;
    while (i < len && req->eolcount < HEAD_DONE) {
        char c = data[i++];
        if (c == '\n') {
            if (req->eollf) {
                req->eolcount = HEAD_DONE;
            } else {
                req->eollf = 1;
                ++req->eolcount;
            }
        } else if (c == '\r') {
            ++req->eolcount;
        } else {
            req->eolcount = 0;
            req->eollf = 0;
        }
    }
    return i;
}

bool bodiless(const RequestInfo* req) {
    int status = req->replystatus;
    return req->method == METHOD_HEAD || status == 204 || status == 304;
}

// Forgets an interim head so that the head after it is captured in its
// place; its bytes still count against the head bound, so that a peer
// cannot keep the call busy with them for ever.
void passInterimHead(RequestInfo* req) {
    req->interimbytes += req->replyheadlen;
    req->replyheadlen = 0;
    req->eolcount = 0;
    req->eollf = 0;
    req->replystatus = 0;
    req->replylength = -1;
}

// The head has just ended: reads it, and ends the exchange when its framing
// is malformed or no body follows it.
void headEnded(RequestInfo* req) {
    int malformed = setReplyContentLength(req);
    req->replystatus = readReplyStatus(req->replyhead, req->replyheadlen);
    if (req->replystatus >= 100 && req->replystatus < 200) {
        passInterimHead(req);
        return;
    }
    if (malformed) {
        httpDisconnect(req, RESULT_MALFORMED_HEAD);
        return;
    }
    if (bodiless(req) || req->replylength == 0) httpDisconnect(req, RESULT_OK);
}

// Writes body bytes, no more than an announced length, and ends the
// exchange once that length has arrived.
void storeBody(RequestInfo* req, const char* data, int len) {
    int64_t count = len;
    if (req->replylength >= 0 && req->replylength - req->replyread < count)
        count = req->replylength - req->replyread;
    if (count > 0) {
        size_t wrote = plat::writeOut(req->outfd, data, static_cast<size_t>(count));
        // Only what reached the file counts; a short write (disk full, I/O
        // error) means the reply cannot be stored.
        req->replyread += static_cast<int64_t>(wrote);
        if (wrote < static_cast<size_t>(count)) {
            httpDisconnect(req, RESULT_NO_OUTPUT);
            return;
        }
    }
    if (req->replylength >= 0 && req->replyread >= req->replylength)
        httpDisconnect(req, RESULT_OK);
}

// Body bytes the platform received straight into the output file: they
// count once, and the announced length ends the exchange.
void bodyStored(RequestInfo* req, int count) {
    req->replyread += count;
    if (req->replylength >= 0 && req->replyread >= req->replylength)
        httpDisconnect(req, RESULT_OK);
}

// How many body bytes the next receive may take straight into the output
// file; 0 to receive into the buffer instead: while the head is read, once
// the platform has declined, and for a rest the buffer holds at once (it
// costs the platform nothing to set up).
int directPiece(const RequestInfo* req) {
    if (req->recvcopy || req->eolcount != HEAD_DONE || bodiless(req)) return 0;
    if (req->replylength < 0) return INT32_MAX;  // up to the peer's close
    int64_t rest = req->replylength - req->replyread;
    if (rest <= RECV_PIECE) return 0;
    return rest < INT32_MAX ? static_cast<int>(rest) : INT32_MAX;
}

}  // namespace

int replyHeadEnded(const RequestInfo* req) {
    return req && req->eolcount == HEAD_DONE ? 1 : 0;
}

int replyComplete(const RequestInfo* req) {
    if (!replyHeadEnded(req)) return 0;
    if (bodiless(req)) return 1;
    if (req->replylength >= 0) return req->replyread >= req->replylength ? 1 : 0;
    return req->peerclosed ? 1 : 0;
}

bool addReplyHeader(RequestInfo* req, const char* data, int len) {
    if (!req || req->result != 0) return false;
    if (!data || len <= 0) return true;
    // Grown by doubling, so that a head arriving a byte at a time costs
    // linear work up to its bound.
    int need = req->replyheadlen + len + 1;
    if (need > req->replyheadcap) {
        int cap = req->replyheadcap ? req->replyheadcap : HEAD_FIRST_BLOCK;
        while (cap < need) cap *= 2;
        char* grown = static_cast<char*>(qalloc(static_cast<size_t>(cap)));
        if (!grown) {
            // A head missing a piece could hide its Content-Length: the
            // reply cannot be stored. Ended before the modal box shows, so
            // that events dispatched meanwhile find the exchange over.
            httpDisconnect(req, RESULT_NO_OUTPUT);
            showAllocFailure("replyhead");
            return false;
        }
        if (req->replyheadlen > 0) std::memcpy(grown, req->replyhead, req->replyheadlen);
        qfree(req->replyhead);
        req->replyhead = grown;
        req->replyheadcap = cap;
    }
    std::memcpy(req->replyhead + req->replyheadlen, data, len);
    req->replyheadlen += len;
    req->replyhead[req->replyheadlen] = '\0';
    return true;
}

int setReplyContentLength(RequestInfo* req) {
    if (!req || req->result != 0 || !req->replyhead) return 0;
    req->replylength = -1;
    // The head stays as it arrived (a caller may read it after the call);
    // the name is matched in any case.
    int64_t length = 0;
    switch (readContentLength(req->replyhead, req->replyheadlen, &length)) {
    case LENGTH_MALFORMED: return RESULT_MALFORMED_HEAD;
    case LENGTH_ANNOUNCED: req->replylength = length; break;
    case LENGTH_NONE: break;
    }
    return 0;
}

void ProcessReply(RequestInfo* req, const char* data, int len) {
    if (!req || !data || len <= 0) return;
    // Each step may end the exchange; what is left of the piece is then
    // dropped.
    while (len > 0 && req->result == 0 && req->state == STATE_RECEIVE) {
        if (req->eolcount == HEAD_DONE) {
            storeBody(req, data, len);
            return;
        }
        // Stop walking where the head would pass its bound.
        int room = REPLY_HEAD_LIMIT - req->interimbytes - req->replyheadlen;
        int used = walkHead(req, data, len < room ? len : room);
        if (req->eolcount < HEAD_DONE &&
            req->interimbytes + req->replyheadlen + used >= REPLY_HEAD_LIMIT) {
            httpDisconnect(req, RESULT_NO_OUTPUT);
            return;
        }
        if (!addReplyHeader(req, data, used)) return;
        data += used;
        len -= used;
        if (req->eolcount == HEAD_DONE) headEnded(req);
    }
}

void OnSocketRead(RequestInfo* req) {
    if (!req) return;
    // The reply is complete and its file closed; only the close event is
    // still to come, and it ends the exchange.
    if (req->state == STATE_CLOSED) return;
    if (req->sock == plat::kInvalidSocket || req->outfd < 0) {
        // No socket, or the peer answers before the whole request is out.
        httpDisconnect(req, RESULT_NO_OUTPUT);
        return;
    }

    // Pieces land in the record's transfer buffer. Drain the socket: one
    // event serves all that has arrived. A piece may end the exchange (the
    // reply complete or malformed, the head bound) or show a modal box
    // during which other events run, so the record is checked before every
    // receive; an event run meanwhile finds the exchange over and leaves the
    // buffer alone.
    char* piece = req->io;
    while (req->result == 0 && req->state == STATE_RECEIVE &&
           req->sock != plat::kInvalidSocket) {
        int direct = directPiece(req);
        int n = direct ? plat::recvFile(req->sock, req->outfd, direct)
                       : plat::recv(req->sock, piece, RECV_PIECE, 0);
        if (n == plat::kNotServed) {
            req->recvcopy = 1;
            continue;
        }
        if (n == plat::kFileFailed) {
            httpDisconnect(req, RESULT_NO_OUTPUT);
            return;
        }
        if (n > 0) {
            noteProgress(req);
            if (direct) bodyStored(req, n);
            else ProcessReply(req, piece, n);
            continue;
        }
        if (n == 0) {
            // Orderly close: the output file is closed and complete now; the
            // close event that follows ends the exchange.
            req->peerclosed = 1;
            setNextState(req);
            return;
        }
        int error = plat::WSAGetLastError();
        if (error == plat::kErrWouldBlock) return;
        // A reset after the whole reply arrived loses nothing.
        httpDisconnect(req, replyComplete(req) ? RESULT_OK : socketFailure(error));
        return;
    }
}

}  // namespace quodra
