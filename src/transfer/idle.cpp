// Progress of an exchange: an exchange that sees no lookup completion,
// connect, byte sent or byte received for its record's idleLimitMs ends with
// 10060 (the event window's timer checks). Bytes a secure socket moves on
// its own, its handshake's above all, count too: the platform says when it
// last moved any.
#include "transfer/transfer.h"

namespace quodra {

void noteProgress(RequestInfo* req) {
    if (req) req->lastProgress = plat::GetTickCount();
}

bool idleTooLong(RequestInfo* req) {
    uint32_t moved = 0;
    // Later than the last progress the core saw (ticks wrap: the difference
    // decides).
    if (req->sock != plat::kInvalidSocket && plat::socketMoved(req->sock, &moved) &&
        static_cast<int32_t>(moved - req->lastProgress) > 0)
        req->lastProgress = moved;
    return plat::GetTickCount() - req->lastProgress >= req->idleLimitMs;
}

}  // namespace quodra
