// Per-thread message queues and the loop that waits on them. A thread's
// loop (GetMessageA) sleeps in poll(2) on its wake descriptor, the sockets
// selected to its windows, its nearest timer and the activity refresh, and
// turns what it finds into posted messages.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "posix_internal.h"

namespace plat {
namespace posix {

Queue::~Queue() {
    if (wakeFd >= 0) ::close(wakeFd);
}

namespace {

// Ends the thread's windows with the thread, as their messages would have
// nowhere to go.
struct Holder {
    std::shared_ptr<Queue> q;
    ~Holder() {
        if (q) destroyThreadWindows(*q);
    }
};
thread_local Holder holder;

bool matches(const Entry& e, uintptr_t filter, unsigned min, unsigned max) {
    if (filter && reinterpret_cast<uintptr_t>(e.msg.hwnd) != filter) return false;
    if (min == 0 && max == 0) return true;
    return e.msg.message == kWmQuit || (e.msg.message >= min && e.msg.message <= max);
}

void clearTimerMark(Queue& q, const Entry& e) {
    if (e.msg.message != kWmTimer) return;
    uintptr_t hwnd = reinterpret_cast<uintptr_t>(e.msg.hwnd);
    for (Timer& t : q.timers)
        if (t.hwnd == hwnd && t.id == e.msg.wParam) t.pending = false;
}

// Under q.mu.
bool hasMatch(const Queue& q, uintptr_t filter, unsigned min, unsigned max) {
    for (const Entry& e : q.entries)
        if (matches(e, filter, min, max)) return true;
    return false;
}

// Under q.mu.
bool takeMatch(Queue& q, uintptr_t filter, unsigned min, unsigned max, Entry& out) {
    for (auto it = q.entries.begin(); it != q.entries.end(); ++it) {
        if (!matches(*it, filter, min, max)) continue;
        out = std::move(*it);
        q.entries.erase(it);
        clearTimerMark(q, out);
        return true;
    }
    return false;
}

}  // namespace

std::shared_ptr<Queue> currentQueue() {
    if (!holder.q) {
        auto q = std::make_shared<Queue>();
        q->thread = std::this_thread::get_id();
        q->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (q->wakeFd < 0) return nullptr;
        holder.q = q;
    }
    return holder.q;
}

void wake(Queue& q) {
    uint64_t one = 1;
    // A full counter already means "awake"; nothing else can fail here.
    ssize_t n = ::write(q.wakeFd, &one, sizeof one);
    (void)n;
}

void dropEntries(Queue& q, uintptr_t hwnd) {
    for (auto it = q.entries.begin(); it != q.entries.end();) {
        if (reinterpret_cast<uintptr_t>(it->msg.hwnd) == hwnd) {
            clearTimerMark(q, *it);
            it = q.entries.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace posix

using namespace posix;

int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    Entry e;
    e.msg = Msg{hwnd, msg, wParam, lParam};
    if (!hwnd) {  // a message for the calling thread itself
        std::shared_ptr<Queue> q = currentQueue();
        if (!q) return 0;
        std::lock_guard<std::mutex> hold(q->mu);
        q->entries.push_back(std::move(e));
        return 1;
    }
    std::shared_ptr<Queue> q;
    {
        Global& g = global();
        // Held while queueing, so that DestroyWindow either sees the entry
        // and drops it, or comes first and the post fails.
        std::shared_lock<std::shared_mutex> hold(g.lock);
        Window* w = findWindow(g, reinterpret_cast<uintptr_t>(hwnd));
        if (!w) return 0;
        q = w->queue;
        std::lock_guard<std::mutex> qhold(q->mu);
        q->entries.push_back(std::move(e));
    }
    if (q->thread != std::this_thread::get_id()) wake(*q);
    return 1;
}

int GetMessageA(Msg* out, Hwnd filter, unsigned min, unsigned max) {
    if (!out) return -1;
    std::shared_ptr<Queue> qp = currentQueue();
    if (!qp) return -1;
    Queue& q = *qp;
    uintptr_t f = reinterpret_cast<uintptr_t>(filter);
    if (f) {
        // Only a live window of this thread can be waited on; another
        // thread's window would never see its messages here.
        Global& g = global();
        std::shared_lock<std::shared_mutex> hold(g.lock);
        Window* w = findWindow(g, f);
        if (!w || w->queue.get() != &q) return -1;
    }
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<SockRec>> recs;
    for (;;) {
        int timeout;
        {
            std::lock_guard<std::mutex> hold(q.mu);
            uint64_t now = nowMs();
            fireTimers(q, now);
            fds.clear();
            recs.clear();
            fds.push_back(pollfd{q.wakeFd, POLLIN, 0});
            bool urgent = collectInterest(q, fds, recs);
            if (urgent || hasMatch(q, f, min, max)) {
                timeout = 0;
            } else {
                timeout = timerDelay(q, now);
                if (q.displays > 0) {
                    int d = q.nextRefresh > now ? static_cast<int>(q.nextRefresh - now) : 0;
                    timeout = timeout < 0 ? d : std::min(timeout, d);
                }
            }
        }
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0 && fds[0].revents) {
            uint64_t count;
            ssize_t r = ::read(q.wakeFd, &count, sizeof count);
            (void)r;
        }
        Entry taken;
        bool got;
        bool redraw = false;
        {
            std::lock_guard<std::mutex> hold(q.mu);
            postSocketEvents(q, fds, 1, recs);
            uint64_t now = nowMs();
            fireTimers(q, now);
            if (q.displays > 0 && now >= q.nextRefresh) {
                redraw = true;
                q.nextRefresh = now + kDisplayPeriodMs;
            }
            got = takeMatch(q, f, min, max, taken);
        }
        if (redraw) displayRefresh(q);
        if (got) {
            // The lookup's result reaches the caller's buffer only now, on
            // the window's own thread, while the window still exists.
            if (taken.host) writeHostEnt(*taken.host, taken.buf, taken.buflen);
            *out = taken.msg;
            return taken.msg.message == kWmQuit ? 0 : 1;
        }
    }
}

int TranslateMessage(const Msg*) { return 0; }

LResult DispatchMessageA(const Msg* msg) {
    if (!msg || !msg->hwnd) return 0;
    WndProc proc;
    {
        Global& g = global();
        std::shared_lock<std::shared_mutex> hold(g.lock);
        Window* w = findWindow(g, reinterpret_cast<uintptr_t>(msg->hwnd));
        if (!w || w->queue->thread != std::this_thread::get_id()) return 0;
        proc = w->proc;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

}  // namespace plat
