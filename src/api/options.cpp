// Process-wide options. Any thread may change them while calls run on
// others; each call works with the copy it took when it started.
#include <atomic>

#include "api/options.h"
#include "quodra.h"

namespace quodra {

namespace {

constexpr int DEFAULT_IDLE_SECONDS = 300;
static_assert(QUODRA_IDLE_LIMIT_MAX <= 0x7FFFFFFF / 1000, "a limit's milliseconds fit an int");
constexpr int DEFAULT_MAX_REDIRECTS = 10;

std::atomic<int> boxes{1};
std::atomic<int> idleSeconds{DEFAULT_IDLE_SECONDS};
std::atomic<int> verify{1};
std::atomic<int> keep{0};
std::atomic<int> failOnError{0};
std::atomic<int> resume{0};
std::atomic<int> onlyIfNewer{0};
std::atomic<int> keepAlive{0};
std::atomic<int> maxRedirects{DEFAULT_MAX_REDIRECTS};
std::atomic<int> timeLimitSeconds{0};

}  // namespace

CallOptions takeOptions() {
    CallOptions o;
    o.boxes = boxes.load();
    o.idleMs = static_cast<uint32_t>(idleSeconds.load()) * 1000u;
    o.verify = verify.load();
    o.keep = keep.load();
    o.failOnError = failOnError.load();
    o.resume = resume.load();
    o.onlyIfNewer = onlyIfNewer.load();
    o.keepAlive = keepAlive.load();
    o.maxRedirects = maxRedirects.load();
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
        if (value < 0 || value > QUODRA_IDLE_LIMIT_MAX) return -1;
        return idleSeconds.exchange(value);
    case QUODRA_OPTION_VERIFY_CERTIFICATES:
        // Off only on purpose: any non-zero value, True included, keeps it.
        return verify.exchange(value ? 1 : 0);
    case QUODRA_OPTION_MAX_REDIRECTS:
        if (value < 0 || value > MAX_REDIRECTS) return -1;
        return maxRedirects.exchange(value);
    // On and off, any non-zero value on, as for the boxes.
    case QUODRA_OPTION_KEEP_UNTIL_COMPLETE:
        return keep.exchange(value ? 1 : 0);
    case QUODRA_OPTION_FAIL_ON_ERROR:
        return failOnError.exchange(value ? 1 : 0);
    case QUODRA_OPTION_RESUME:
        return resume.exchange(value ? 1 : 0);
    case QUODRA_OPTION_ONLY_IF_NEWER:
        return onlyIfNewer.exchange(value ? 1 : 0);
    case QUODRA_OPTION_KEEP_ALIVE:
        return keepAlive.exchange(value ? 1 : 0);
    case QUODRA_OPTION_TIME_LIMIT:
        // The same range as the idle limit: milliseconds that fit 32 bits.
        if (value < 0 || value > QUODRA_IDLE_LIMIT_MAX) return -1;
        return timeLimitSeconds.exchange(value);
    default:
        return -1;
    }
}
