// The no-progress limit: an exchange that sees no lookup completion, connect,
// byte sent or byte received for this long ends with 10060.
#include <atomic>

#include "transfer/transfer.h"

namespace quodra {

namespace {
constexpr uint32_t DEFAULT_IDLE_LIMIT = 300000;  // milliseconds
std::atomic<uint32_t> limit{DEFAULT_IDLE_LIMIT};
}  // namespace

void noteProgress(RequestInfo* req) {
    if (req) req->lastprogress = plat::GetTickCount();
}

uint32_t idleLimit() { return limit.load(std::memory_order_relaxed); }

void setIdleLimit(uint32_t ms) {
    limit.store(ms ? ms : DEFAULT_IDLE_LIMIT, std::memory_order_relaxed);
}

}  // namespace quodra
