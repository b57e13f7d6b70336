// Start and clean-up: a count of users, so that start is idempotent and the
// lookup workers are joined when the last user cleans up.
#include <mutex>

#include "posix_internal.h"

namespace plat {

namespace {
std::mutex startMu;
int starts = 0;
}  // namespace

int WSAStartup(uint16_t version) {
    // The low byte is the major version; every version from 1 on is served.
    if ((version & 0xFF) < 1) return kErrVerNotSupported;
    std::lock_guard<std::mutex> hold(startMu);
    ++starts;
    return 0;
}

int WSACleanup() {
    {
        std::lock_guard<std::mutex> hold(startMu);
        if (starts == 0) {
            posix::setLastError(kErrNotInitialised);
            return -1;
        }
        if (--starts > 0) return 0;
    }
    posix::stopLookups();
    return 0;
}

}  // namespace plat
