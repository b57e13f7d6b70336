// The millisecond clock and window timers. A timer belongs to its window's
// thread and fires from that thread's loop: a window timer posts WM_TIMER,
// one at a time (the next waits until the last is taken); the activity
// timer of a shown window redraws its line (activity.cpp).
#include <time.h>

#include <algorithm>
#include <climits>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

// Shorter periods are raised to this, as a busy timer would starve the loop.
constexpr unsigned kMinPeriodMs = 10;

bool same(const Timer& t, uintptr_t hwnd, uintptr_t id, bool activity) {
    return t.hwnd == hwnd && t.id == id && t.activity == activity;
}

void fire(Thread& t, Timer& timer) {
    if (timer.activity) {
        redrawActivity(t, timer.hwnd);
        return;
    }
    Entry e;
    e.msg = Msg{windowOf(timer.hwnd), kWmTimer, timer.id, 0};
    t.queue.push_back(std::move(e));
    timer.pending = true;
}

}  // namespace

uint64_t nowMs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u +
           static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void startTimer(Thread& t, uintptr_t hwnd, uintptr_t id, unsigned ms, bool activity) {
    unsigned period = std::max(ms, kMinPeriodMs);
    uint64_t due = nowMs() + period;
    for (Timer& timer : t.timers) {
        if (same(timer, hwnd, id, activity)) {
            timer.period = period;
            timer.due = due;
            return;
        }
    }
    t.timers.push_back(Timer{hwnd, id, period, due, false, activity});
}

bool stopTimer(Thread& t, uintptr_t hwnd, uintptr_t id, bool activity) {
    auto it = std::find_if(t.timers.begin(), t.timers.end(),
                           [&](const Timer& x) { return same(x, hwnd, id, activity); });
    if (it == t.timers.end()) return false;
    t.timers.erase(it);
    return true;
}

void stopWindowTimers(Thread& t, uintptr_t hwnd) {
    t.timers.erase(std::remove_if(t.timers.begin(), t.timers.end(),
                                  [&](const Timer& x) { return x.hwnd == hwnd; }),
                   t.timers.end());
}

void timerTaken(Thread& t, uintptr_t hwnd, uintptr_t id) {
    for (Timer& timer : t.timers)
        if (same(timer, hwnd, id, false)) timer.pending = false;
}

int timerDelay(const Thread& t, uint64_t now) {
    int64_t best = -1;
    for (const Timer& timer : t.timers) {
        if (timer.pending) continue;
        int64_t d = timer.due > now ? static_cast<int64_t>(timer.due - now) : 0;
        if (best < 0 || d < best) best = d;
    }
    return best < 0 ? -1 : static_cast<int>(std::min<int64_t>(best, INT_MAX));
}

void runDueTimers(Thread& t, uint64_t now) {
    for (Timer& timer : t.timers) {
        if (timer.pending || now < timer.due) continue;
        timer.due = now + timer.period;
        fire(t, timer);
    }
}

}  // namespace posix

using namespace posix;

uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms) {
    Thread* t = thisThread();
    uintptr_t h = handleOf(hwnd);
    if (!t || !findWindow(*t, h)) return 0;
    startTimer(*t, h, id, ms, false);
    return id ? id : 1;
}

int KillTimer(Hwnd hwnd, uintptr_t id) {
    Thread* t = thisThread();
    return t && stopTimer(*t, handleOf(hwnd), id, false) ? 1 : 0;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(nowMs()); }

}  // namespace plat
