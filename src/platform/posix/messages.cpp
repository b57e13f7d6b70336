// Each thread's message queue and the loop that waits on it. GetMessageA
// takes the next message for its filter; when there is none it collects
// what the thread waits for (its mailbox, its selected sockets, its nearest
// timer), waits in poll(2), and posts what the wait found:
//   take -> collect -> wait -> post -> take ...
#include <errno.h>
#include <unistd.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

// One wait of the loop.
struct Wait {
    std::vector<pollfd> fds;  // [0] the mailbox, then one per selected socket
    std::vector<int> socks;   // the socket of fds[i + 1]
    int timeout = -1;         // milliseconds; -1 = until a descriptor is ready
};

// The first queued message for the filter (0 = any of the thread's
// windows), taken out of the queue.
bool take(Thread& t, uintptr_t filter, Msg* out) {
    for (auto it = t.queue.begin(); it != t.queue.end(); ++it) {
        if (filter && handleOf(it->msg.hwnd) != filter) continue;
        Entry e = std::move(*it);
        t.queue.erase(it);
        if (e.msg.message == kWmTimer) timerTaken(t, handleOf(e.msg.hwnd), e.msg.wParam);
        // A lookup's result reaches the caller's list only now, on the
        // window's own thread, while the window still exists.
        if (e.addrs) writeAddrs(*e.addrs, e.list, e.max);
        *out = e.msg;
        return true;
    }
    return false;
}

// What to wait for, and how long: not at all when a socket has an event
// due, else until the nearest timer.
void collect(Thread& t, Wait& w) {
    w.fds.assign(1, pollfd{t.mailbox->wakeFd, POLLIN, 0});
    w.socks.clear();
    bool due = socketInterest(t, w.fds, w.socks);
    w.timeout = due ? 0 : timerDelay(t, nowMs());
}

// false when the wait itself failed. A signal ends it with nothing ready.
bool wait(Wait& w) {
    int n = ::poll(w.fds.data(), w.fds.size(), w.timeout);
    if (n >= 0) return true;
    if (errno != EINTR) return false;
    for (pollfd& p : w.fds) p.revents = 0;
    return true;
}

// Moves the mailbox's completions into the queue; those for windows
// destroyed meanwhile are dropped, their buffers untouched.
void takeMail(Thread& t) {
    Mailbox& box = *t.mailbox;
    uint64_t count;
    ssize_t n = ::read(box.wakeFd, &count, sizeof count);  // before the entries
    (void)n;
    std::lock_guard<std::mutex> hold(box.mu);
    for (Entry& e : box.entries)
        if (findWindow(t, handleOf(e.msg.hwnd))) t.queue.push_back(std::move(e));
    box.entries.clear();
}

// Turns what the wait found into queued messages: mail first, then socket
// events, then the timers that are due.
void post(Thread& t, const Wait& w) {
    if (w.fds[0].revents) takeMail(t);
    postSocketEvents(t, w.fds, 1, w.socks);
    runDueTimers(t, nowMs());
}

}  // namespace

void dropMessages(Thread& t, uintptr_t hwnd) {
    for (auto it = t.queue.begin(); it != t.queue.end();) {
        if (handleOf(it->msg.hwnd) == hwnd) it = t.queue.erase(it);
        else ++it;
    }
}

}  // namespace posix

using namespace posix;

// Only to a window of the calling thread: the library posts only its quit,
// to its own window. Lookup completions, the one message that comes from
// elsewhere, arrive through the mailbox.
int PostMessageA(Hwnd hwnd, unsigned msg, WParam wParam, LParam lParam) {
    Thread* t = thisThread();
    if (!t || !findWindow(*t, handleOf(hwnd))) return 0;
    Entry e;
    e.msg = Msg{hwnd, msg, wParam, lParam};
    t->queue.push_back(std::move(e));
    return 1;
}

// The filter is a window of this thread or none; a message range is not
// served (the library always takes every message of its window).
int GetMessageA(Msg* out, Hwnd filter, unsigned min, unsigned max) {
    Thread* t = thisThread();
    uintptr_t f = handleOf(filter);
    if (!out || !t || min != 0 || max != 0 || (f && !findWindow(*t, f))) return -1;
    Wait w;
    while (!take(*t, f, out)) {
        collect(*t, w);
        if (!wait(w)) return -1;
        post(*t, w);
    }
    return out->message == kWmQuit ? 0 : 1;
}

int TranslateMessage(const Msg*) { return 0; }

LResult DispatchMessageA(const Msg* msg) {
    Thread* t = thisThread();
    Window* w = t && msg ? findWindow(*t, handleOf(msg->hwnd)) : nullptr;
    if (!w) return 0;
    WndProc proc = w->proc;  // the procedure may destroy its window
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

}  // namespace plat
