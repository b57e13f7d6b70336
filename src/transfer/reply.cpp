// Capturing the reply: the head goes to the record's reply head until it
// ends, and every later byte is written to the output file, no more than an
// announced length: from the record's buffer, or received straight into the
// file where the platform can do that and the rest of the body is larger
// than the buffer. The reply is heard while the request is still going out
// too, and after a send that failed. The exchange ends as soon as the reply
// is complete, without waiting for the peer to close; whether it is
// complete is decided here only.
#include <cinttypes>

#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The connected peer as text, for the lines that say why.
struct PeerName {
    char text[80];
};
PeerName peerOf(const RequestInfo* req) {
    PeerName p;
    peerText(req, req->peerAddr, p.text, sizeof p.text);
    return p;
}

// Why the peer's end or error ends the exchange with code: the secure
// socket's own reason, the system's words for the error, or how far the
// reply had come by an orderly end.
void endWhy(RequestInfo* req, int code, int error, bool sending) {
    const PeerName name = peerOf(req);
    const char* peer = name.text;
    if (code == RESULT_TLS_FAILED || code == RESULT_CERT_REJECTED) {
        secureWhy(req, req->sock, code);
    } else if (error == plat::kErrSecureTruncated) {
        noteWhy(req, "the reply from %s ended without TLS's closing notice, after %" PRId64
                " body bytes", peer, req->bodyStored);
    } else if (error != 0) {
        char said[512];
        socketWords(error, said, sizeof said);
        noteWhy(req, "%s %s: %s",
                sending ? "sending the request to"
                        : replyBegun(req) ? "receiving the reply from" : "waiting for the reply from",
                peer, said);
    } else if (!replyBegun(req)) {
        noteWhy(req, "%s closed the connection before any reply", peer);
    } else if (!req->head.done) {
        noteWhy(req, "the reply head from %s ended before its blank line", peer);
    } else {
        noteWhy(req, "the reply from %s ended after %" PRId64 " of %" PRId64 " body bytes", peer,
                req->bodyStored, req->head.length);
    }
}

// Ends the exchange once the reply is whole: with 0, or 13 for an error
// status when the call fails on one.
void endIfComplete(RequestInfo* req) {
    if (replyComplete(req)) endExchange(req, completeResult(req));
}

// Writes body bytes to the output; false when the file refused some (the
// exchange has then ended with 3).
bool writeBody(RequestInfo* req, const char* data, int64_t count) {
    size_t wrote = plat::writeOut(req->outFd, data, static_cast<size_t>(count));
    // Only what reached the file counts; a short write (disk full, I/O
    // error) means the reply cannot be stored.
    req->bodyStored += static_cast<int64_t>(wrote);
    if (wrote < static_cast<size_t>(count)) {
        fileWhy(req, "writing", req->outFile, plat::fileError());
        endExchange(req, RESULT_NO_OUTPUT);
        return false;
    }
    return true;
}

// A chunked body: only the chunks' data is stored. A coding that breaks
// ends the exchange with 6, the data before the fault stored but never read
// as a whole reply; one that ends is the whole reply.
void storeChunked(RequestInfo* req, const char* data, int len) {
    while (len > 0) {
        int used = 0;
        BodySpan span{};
        ChunkedFeed feed = feedChunked(&req->chunks, data, len, &used, &span);
        if (span.len > 0 && !writeBody(req, span.data, span.len)) return;
        data += used;
        len -= used;
        if (feed == ChunkedFeed::Broken) {
            noteWhy(req, "the chunked body from %s breaks its coding", peerOf(req).text);
            endExchange(req, RESULT_MALFORMED_HEAD);
            return;
        }
        if (feed == ChunkedFeed::Done) {
            req->chunksDone = 1;
            // Bytes after the body answer no request of ours.
            if (len > 0) req->unfit = 1;
            break;
        }
    }
    endIfComplete(req);
}

// Writes body bytes, no more than an announced length.
void storeBody(RequestInfo* req, const char* data, int len) {
    if (req->chunked) {
        storeChunked(req, data, len);
        return;
    }
    int64_t count = len;
    int64_t length = req->head.length;
    if (length >= 0 && length - req->bodyStored < count) {
        count = length - req->bodyStored;
        req->unfit = 1;  // bytes after the announced body: not this reply's
    }
    if (count > 0 && !writeBody(req, data, count)) return;
    endIfComplete(req);
}

// Head bytes: the head ends the exchange when it is malformed, too long or
// cannot be kept, and when no body follows it.
int takeHead(RequestInfo* req, const char* data, int len) {
    int used = 0;
    switch (feedHead(&req->head, data, len, &used)) {
    case HeadFeed::More:
        break;
    case HeadFeed::Done:
        readFraming(req);
        // Bytes after a head that carries no body answer no request of ours.
        if (bodiless(req) && used < len) req->unfit = 1;
        if (proxyRefused(req)) endExchange(req, RESULT_PROXY_REFUSED);
        else if (finalHeadArrived(req)) endIfComplete(req);
        break;
    case HeadFeed::Malformed:
        noteWhy(req, "the reply head from %s has no single Content-Length of a number of bytes",
                peerOf(req).text);
        endExchange(req, RESULT_MALFORMED_HEAD);
        break;
    case HeadFeed::TooLong:
        noteWhy(req, "the reply head from %s is over %d KiB", peerOf(req).text,
                REPLY_HEAD_LIMIT / 1024);
        endExchange(req, RESULT_NO_OUTPUT);
        break;
    case HeadFeed::NoMemory:
        // Ended before the modal box shows, so that events dispatched
        // meanwhile find the exchange over.
        noteWhy(req, "memory ran out for the reply head");
        endExchange(req, RESULT_NO_OUTPUT);
        showAllocFailure("replyhead");
        break;
    }
    return used;
}

// How many body bytes the next receive may take straight into the output
// file; 0 to receive into the buffer instead: while the head is read, once
// the platform has declined, and for a rest the buffer holds at once (it
// costs the platform nothing to set up).
int directPiece(const RequestInfo* req) {
    // A chunked body is read through the buffer: its data lies between the
    // coding's lines.
    if (req->recvByCopy || !req->head.done || bodiless(req) || req->chunked) return 0;
    if (req->head.length < 0) return INT32_MAX;  // up to the peer's close
    int64_t rest = req->head.length - req->bodyStored;
    if (rest <= RECV_PIECE) return 0;
    return rest < INT32_MAX ? static_cast<int>(rest) : INT32_MAX;
}

}  // namespace

int64_t replyBodyLength(const RequestInfo* req) {
    if (!req || !req->head.done) return -1;
    if (bodiless(req)) return 0;
    return req->head.length < 0 ? -1 : req->head.length;
}

bool replyComplete(const RequestInfo* req) {
    if (!req || !req->head.done) return false;
    if (bodiless(req)) return true;
    if (req->chunked) return req->chunksDone != 0;
    if (req->head.length >= 0) return req->bodyStored >= req->head.length;
    return req->peerEnded != 0;
}

bool replyBegun(const RequestInfo* req) {
    return req && (req->head.done || req->head.len > 0);
}

void endReply(RequestInfo* req, int error) {
    if (!req || ended(req)) return;
    // An end reported with an error was a reset, whatever a receive saw
    // before it: a reply without a length is then not known to be whole.
    if (error != 0) req->peerEnded = 0;
    int code;
    if (replyComplete(req)) {
        code = completeResult(req);
    } else if (req->sendError != 0 && !replyBegun(req)) {
        code = resultOfSocketError(req->sendError);
        endWhy(req, code, req->sendError, true);
    } else if (error != 0) {
        code = resultOfSocketError(error);
        endWhy(req, code, error, false);
    } else {
        code = RESULT_ENDED_EARLY;
        endWhy(req, code, 0, false);
    }
    endExchange(req, code);
}

void sendFailed(RequestInfo* req, int error) {
    if (!req || ended(req)) return;
    req->sendError = error;
    stopSending(req);
    // What already waits is read now: the failed send may be the only sign
    // left of a connection the peer has closed after answering.
    OnSocketRead(req);
    if (!ended(req) && !replyBegun(req)) {
        int code = resultOfSocketError(error);
        endWhy(req, code, error, true);
        endExchange(req, code);
    }
}

void ProcessReply(RequestInfo* req, const char* data, int len) {
    if (!req || !data || len <= 0) return;
    // Each step may end the exchange; what is left of the piece is then
    // dropped.
    while (len > 0 && !ended(req)) {
        if (settingUpTunnel(req)) {
            takeTunnelReply(req, data, len);
            return;
        }
        if (req->head.done) {
            storeBody(req, data, len);
            return;
        }
        int used = takeHead(req, data, len);
        data += used;
        len -= used;
    }
}

void OnSocketRead(RequestInfo* req) {
    if (!req || ended(req)) return;
    if (req->state == State::Idle || req->sock == plat::kInvalidSocket) {
        // No socket, or bytes before the request began: no reply to it.
        noteWhy(req, "bytes came before the request went out");
        endExchange(req, RESULT_NO_OUTPUT);
        return;
    }
    // While TLS is set up through a proxy's tunnel, the bytes that come are
    // the handshake's: the secure socket takes them, not the core.
    if (req->state == State::TunnelHandshake) return;

    // Pieces land in the record's transfer buffer. Drain the socket: one
    // event serves all that has arrived. A piece may end the exchange (the
    // reply complete or malformed, the head bound) or show a modal box
    // during which other events run, so the record is checked before every
    // receive; an event run meanwhile finds the exchange over and leaves the
    // buffer alone.
    char* piece = req->io;
    while (!ended(req)) {
        int direct = directPiece(req);
        int n = direct ? plat::recvFile(req->sock, req->outFd, direct)
                       : plat::recv(req->sock, piece, RECV_PIECE, 0);
        if (n == plat::kNotServed) {
            req->recvByCopy = 1;
            continue;
        }
        if (n == plat::kFileFailed) {
            fileWhy(req, "writing", req->outFile, plat::fileError());
            endExchange(req, RESULT_NO_OUTPUT);
            return;
        }
        if (n > 0) {
            noteProgress(req);
            if (direct) {
                req->bodyStored += n;
                endIfComplete(req);
            } else {
                ProcessReply(req, piece, n);
                // A tunnel opened by this piece: what follows is TLS.
                if (req->state == State::TunnelHandshake) return;
                // The server's interim answer lets the body go, now that
                // the piece is taken and the buffer free for it.
                if (req->state == State::AwaitContinue && req->head.passed > 0)
                    continueSending(req);
            }
            continue;
        }
        if (n == 0) {
            // The peer's orderly end: the only sign that a reply without a
            // length is whole. While a close event that reported a reset is
            // handled, that reset is the end instead.
            if (req->closeError == 0) req->peerEnded = 1;
            endReply(req, req->closeError);
            return;
        }
        int error = plat::WSAGetLastError();
        if (error == plat::kErrWouldBlock) return;
        endReply(req, error);
        return;
    }
}

}  // namespace quodra
