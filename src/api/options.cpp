// Process-wide options. Any thread may change them while calls run on
// others; each call works with the copy it took when it started.
#include <atomic>

#include "api/options.h"
#include "quodra.h"

namespace quodra {

namespace {

constexpr int DEFAULT_IDLE_SECONDS = 300;
// The largest limit whose milliseconds still fit a signed 32-bit number
// (both limits, the idle one and the call's time).
constexpr int MAX_IDLE_SECONDS = 2147483;

std::atomic<int> boxes{1};
std::atomic<int> idleSeconds{DEFAULT_IDLE_SECONDS};
std::atomic<int> verify{1};
std::atomic<int> timeLimitSeconds{0};

}  // namespace

CallOptions takeOptions() {
    CallOptions o;
    o.boxes = boxes.load();
    o.idleMs = static_cast<uint32_t>(idleSeconds.load()) * 1000u;
    o.verify = verify.load();
    o.timeLimitMs = static_cast<uint32_t>(timeLimitSeconds.load()) * 1000u;
    return o;
}

}  // namespace quodra

using namespace quodra;

extern "C" int QUODRA_API httpSetOption(int option, int value) {
    switch (option) {
    case QUODRA_OPTION_MESSAGE_BOXES:
        // Any non-zero value is on, so a BASIC True (-1) works as well as 1.
        return boxes.exchange(value ? 1 : 0);
    case QUODRA_OPTION_IDLE_LIMIT:
        if (value < 0 || value > MAX_IDLE_SECONDS) return -1;
        return idleSeconds.exchange(value);
    case QUODRA_OPTION_VERIFY_CERTIFICATES:
        // Off only on purpose: any non-zero value, True included, keeps it.
        return verify.exchange(value ? 1 : 0);
    case QUODRA_OPTION_TIME_LIMIT:
        // The same range as the idle limit: milliseconds that fit 32 bits.
        if (value < 0 || value > MAX_IDLE_SECONDS) return -1;
        return timeLimitSeconds.exchange(value);
    default:
        return -1;
    }
}
