// Capturing the reply: the head is kept in memory until its end, its
// Content-Length and status code are read from it, and every later byte is
// written to the output file, no more than an announced length.
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/reply_head.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

constexpr int HEAD_DONE = 4;

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

}  // namespace

int replyComplete(const RequestInfo* req) {
    if (!req || req->eolcount != HEAD_DONE) return 0;
    int status = req->replystatus;
    bool noBody = req->method == METHOD_HEAD || (status >= 100 && status < 200) ||
                  status == 204 || status == 304;
    if (noBody) return 1;
    if (req->replylength > 0) return req->replyread >= req->replylength ? 1 : 0;
    return req->peerclosed ? 1 : 0;
}

void addReplyHeader(RequestInfo* req, const char* data, int len) {
    if (!req || req->result != 0 || !data || len <= 0) return;
    int present = req->replyhead ? req->replyheadlen : 0;
    char* grown = static_cast<char*>(
        qalloc(static_cast<size_t>(present) + static_cast<size_t>(len) + 1));
    if (!grown) {
        showAllocFailure("replyhead");
        return;
    }
    if (present > 0) std::memcpy(grown, req->replyhead, present);
    qfree(req->replyhead);
    std::memcpy(grown + present, data, len);
    grown[present + len] = '\0';
    req->replyhead = grown;
    req->replyheadlen = present + len;
}

void setReplyContentLength(RequestInfo* req) {
    if (!req || req->result != 0 || !req->replyhead) return;
    req->replylength = 0;
    char* head = req->replyhead;
    int len = req->replyheadlen;
    for (int i = 0; i < len; ++i)
        if (head[i] >= 'A' && head[i] <= 'Z') head[i] = static_cast<char>(head[i] - 'A' + 'a');
    int value = findContentLengthValue(head, len);
    if (value >= 0) req->replylength = readDecimal64(head + value, len - value);
}

void ProcessReply(RequestInfo* req, const char* data, int len) {
    if (!req || !data || len <= 0) return;
    int used = 0;
    if (req->eolcount < HEAD_DONE) {
        // Stop walking where the head would pass its bound.
        int room = REPLY_HEAD_LIMIT - req->replyheadlen;
        used = walkHead(req, data, len < room ? len : room);
        if (req->eolcount < HEAD_DONE && req->replyheadlen + used >= REPLY_HEAD_LIMIT) {
            httpDisconnect(req, RESULT_NO_OUTPUT);
            return;
        }
        addReplyHeader(req, data, used);
        // A failed allocation shows a modal box, during which other events
        // may have ended the exchange: look at the record afresh.
        if (req->eolcount == HEAD_DONE) {
            setReplyContentLength(req);
            req->replystatus = readReplyStatus(req->replyhead, req->replyheadlen);
        }
    }
    if (req->eolcount < HEAD_DONE || used >= len) return;

    int64_t count = len - used;
    if (req->replylength > 0) {
        int64_t left = req->replylength - req->replyread;
        if (left < count) count = left > 0 ? left : 0;
    }
    if (req->outfp && count > 0) {
        plat::writeOut(req->outfp, data + used, static_cast<size_t>(count));
        req->replyread += count;
    }
}

void OnSocketRead(RequestInfo* req) {
    if (!req) return;
    // The reply is complete and its file closed; only the close event is
    // still to come, and it ends the exchange.
    if (req->state == STATE_CLOSED) return;
    if (req->sock == plat::kInvalidSocket || !req->outfp) {
        // No socket, or the peer answers before the whole request is out.
        httpDisconnect(req, RESULT_NO_OUTPUT);
        return;
    }

    char piece[RECV_PIECE];
    // Drain the socket: one event serves all that has arrived. A piece may
    // end the exchange (head bound) or show a modal box during which other
    // events run, so the record is checked before every receive.
    while (req->result == 0 && req->state == STATE_RECEIVE &&
           req->sock != plat::kInvalidSocket) {
        int n = plat::recv(req->sock, piece, RECV_PIECE, 0);
        if (n > 0) {
            noteProgress(req);
            ProcessReply(req, piece, n);
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
