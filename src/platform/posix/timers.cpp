// The millisecond clock and window timers. A timer lives in its window's
// thread queue and posts WM_TIMER from that thread's loop; one WM_TIMER per
// timer waits in the queue at a time.
#include <time.h>

#include <algorithm>
#include <climits>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {
// Shorter periods are raised to this, as a busy timer would starve the loop.
constexpr unsigned kMinPeriodMs = 10;
}

uint64_t nowMs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u +
           static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void fireTimers(Queue& q, uint64_t now) {
    for (Timer& t : q.timers) {
        if (t.pending || now < t.due) continue;
        Entry e;
        e.msg = Msg{reinterpret_cast<Hwnd>(t.hwnd), kWmTimer, t.id, 0};
        q.entries.push_back(std::move(e));
        t.pending = true;
        t.due = now + t.interval;
    }
}

int timerDelay(const Queue& q, uint64_t now) {
    int64_t best = -1;
    for (const Timer& t : q.timers) {
        if (t.pending) continue;
        int64_t d = t.due > now ? static_cast<int64_t>(t.due - now) : 0;
        if (best < 0 || d < best) best = d;
    }
    return best < 0 ? -1 : static_cast<int>(std::min<int64_t>(best, INT_MAX));
}

}  // namespace posix

using namespace posix;

uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned ms) {
    Global& g = global();
    std::shared_lock<std::shared_mutex> hold(g.lock);
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    Window* w = findWindow(g, h);
    if (!w || w->queue->thread != std::this_thread::get_id()) return 0;
    unsigned interval = std::max(ms, kMinPeriodMs);
    uint64_t due = nowMs() + interval;
    std::lock_guard<std::mutex> qhold(w->queue->mu);
    for (Timer& t : w->queue->timers) {
        if (t.hwnd == h && t.id == id) {
            t.interval = interval;
            t.due = due;
            return id ? id : 1;
        }
    }
    w->queue->timers.push_back(Timer{h, id, interval, due, false});
    return id ? id : 1;
}

int KillTimer(Hwnd hwnd, uintptr_t id) {
    Global& g = global();
    std::shared_lock<std::shared_mutex> hold(g.lock);
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    Window* w = findWindow(g, h);
    if (!w || w->queue->thread != std::this_thread::get_id()) return 0;
    std::lock_guard<std::mutex> qhold(w->queue->mu);
    auto& timers = w->queue->timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Timer& t) { return t.hwnd == h && t.id == id; });
    if (it == timers.end()) return 0;
    timers.erase(it);
    return 1;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(nowMs()); }

}  // namespace plat
