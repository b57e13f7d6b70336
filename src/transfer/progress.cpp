// What the call watches its exchanges for: their body counts, reported to
// the host's progress callback about ten times a second and once more when
// the call ends, and to the activity window that "visible" shows; and the
// call's time limit over all its exchanges.
//
// A report runs from the event window's own messages (its progress timer,
// the end of a socket event), so never inside a send or a receive. The
// callback is the host's code: it may pump the thread's messages (a form's
// Cancel button needs that), and the core's events then run inside it. So
// a report never starts while another runs, an exchange that ends meanwhile
// posts its quit only once the callback has returned (a loop of the host's
// must not take it), and a call made from inside the callback is refused
// (calls.cpp).
#include "transfer/transfer.h"

namespace quodra {

namespace {

// Progress callbacks running on this thread.
thread_local int callbacksRunning = 0;

void feedWindow(RequestInfo* req, const ProgressCounts& c) {
    if (!req->hwnd) return;
    plat::setActivity(req->hwnd, static_cast<double>(c.sent), static_cast<double>(c.sendTotal),
                      static_cast<double>(c.received), static_cast<double>(c.receiveTotal));
}

// Runs the host's callback with c; true when it answers that the call must
// stop.
bool askHost(CallWatch& w, const ProgressCounts& c) {
    w.reporting = 1;
    ++callbacksRunning;
    int stop = w.callback(w.context, static_cast<double>(c.sent), static_cast<double>(c.sendTotal),
                          static_cast<double>(c.received), static_cast<double>(c.receiveTotal));
    --callbacksRunning;
    w.reporting = 0;
    return stop != 0;
}

}  // namespace

ProgressCounts progressCounts(const RequestInfo* req) {
    ProgressCounts c;
    c.sent = req->bodySent;
    c.sendTotal = req->bodyLength;
    c.received = req->bodyStored;
    c.receiveTotal = replyBodyLength(req);
    return c;
}

void reportProgress(RequestInfo* req) {
    if (!req || !req->watch || ended(req)) return;
    CallWatch& w = *req->watch;
    // A loop of the host's inside the callback dispatched this: the report
    // under way is the one.
    if (w.reporting) return;
    uint32_t now = plat::GetTickCount();
    if (w.reports > 0 && now - w.reportedAt < PROGRESS_MS) return;
    w.reportedAt = now;
    ++w.reports;
    w.last = progressCounts(req);
    if (w.visible) feedWindow(req, w.last);
    if (!w.callback) return;
    if (askHost(w, w.last)) {
        w.cancelled = 1;
        noteWhy(req, "the progress callback cancelled the call");
        endExchange(req, RESULT_CANCELLED);
    }
    // An exchange that ended while the callback ran posts its quit now.
    if (req->quitOwed) {
        req->quitOwed = 0;
        if (req->hwnd) plat::PostMessageA(req->hwnd, plat::kWmQuit, 0, 0);
    }
}

void exchangeEnded(RequestInfo* req) {
    if (!req || !req->watch) return;
    CallWatch& w = *req->watch;
    w.last = progressCounts(req);
    ++w.exchanges;
    if (w.visible) feedWindow(req, w.last);
}

void reportFinal(CallWatch* w) {
    if (!w || !w->callback || w->exchanges == 0 || w->reporting) return;
    askHost(*w, w->last);  // the call is over: its answer changes nothing
}

bool insideProgressCallback() { return callbacksRunning > 0; }

bool overTimeLimit(const CallWatch* w) {
    return w && w->timeLimitMs && plat::GetTickCount() - w->startedAt >= w->timeLimitMs;
}

}  // namespace quodra
