// The limits of an exchange, checked by the event window's timer: the
// call's time limit over all its exchanges (15), and progress: an exchange
// that sees no lookup completion, connect, byte sent or byte received for its
// record's idleLimitMs ends with 10060. Bytes a secure socket moves on its
// own, its handshake's above all, count too: the platform says when it last
// moved any.
#include "transfer/transfer.h"

namespace quodra {

void noteProgress(RequestInfo* req) {
    if (req) req->lastProgress = plat::GetTickCount();
}

namespace {

// Takes what s moved as progress when it is later than the last progress
// the core saw (ticks wrap: the difference decides).
void takeMoved(RequestInfo* req, plat::Socket s) {
    uint32_t moved = 0;
    if (s != plat::kInvalidSocket && plat::socketMoved(s, &moved) &&
        static_cast<int32_t>(moved - req->lastProgress) > 0)
        req->lastProgress = moved;
}

}  // namespace

bool idleTooLong(RequestInfo* req) {
    // While addresses race, each attempt's handshake is under way on a
    // socket of its own: any of them moving bytes is progress.
    takeMoved(req, req->sock);
    for (int i = 0; i < req->attemptCount; ++i) takeMoved(req, req->attempts[i]);
    return plat::GetTickCount() - req->lastProgress >= req->idleLimitMs;
}

void OnLimitTimer(RequestInfo* req) {
    if (!req || ended(req)) return;
    if (overTimeLimit(req->watch)) {
        limitWhy(req, "the call took longer than its time limit of", req->watch->timeLimitMs);
        endExchange(req, RESULT_TIME_LIMIT);
    } else if (req->idleLimitMs && idleTooLong(req)) {
        limitWhy(req, "no progress for", req->idleLimitMs);
        endExchange(req, plat::kErrTimedOut);
    }
}

}  // namespace quodra
