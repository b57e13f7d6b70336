// Progress of an exchange: an exchange that sees no lookup completion,
// connect, byte sent or byte received for its record's idleLimitMs ends with
// 10060 (the event window's timer checks).
#include "transfer/transfer.h"

namespace quodra {

void noteProgress(RequestInfo* req) {
    if (req) req->lastProgress = plat::GetTickCount();
}

}  // namespace quodra
