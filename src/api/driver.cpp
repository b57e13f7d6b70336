// The per-call driver: a call run as a sequence of exchanges, each on the
// calling thread through its own event window and message loop, with the
// course of the call decided after each by afterExchange.
#include <cstdio>

#include "api/api.h"
#include "api/last_call.h"
#include "common/alloc.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The call's time limit; 0 for none.
uint32_t timeLimit(const RequestInfo* req) { return req->watch ? req->watch->timeLimitMs : 0; }

// How often the limits are checked: often enough for the shorter of the
// two, never more than once a second.
unsigned limitCheckInterval(const RequestInfo* req) {
    uint32_t limit = req->idleLimitMs;
    uint32_t time = timeLimit(req);
    if (!limit || (time && time < limit)) limit = time;
    uint32_t every = limit / 4;
    if (every < 10) every = 10;
    if (every > 1000) every = 1000;
    return every;
}

// Pumps the window's messages until the exchange has posted its quit.
void runLoop(RequestInfo* req) {
    plat::Msg msg;
    for (;;) {
        // While the exchange runs only its window's messages are taken;
        // once it has ended, the loop takes whatever is queued up to its
        // quit, the host's own messages included.
        int got = plat::GetMessageA(&msg, ended(req) ? nullptr : req->hwnd, 0, 0);
        if (got == 0) return;
        if (got == -1) {
            noteWhy(req, "the call's message loop could not take its next message");
            recordResult(req, RESULT_REFUSED);
            return;
        }
        plat::TranslateMessage(&msg);
        plat::DispatchMessageA(&msg);
    }
}

}  // namespace

void registerWindowClass() {
    if (plat::GetClassInfoA(hDllInst, WINDOW_CLASS)) return;
    plat::WndClass wc{};
    wc.style = 0;
    wc.lpfnWndProc = NetWndProc;
    wc.hInstance = hDllInst;
    wc.lpszClassName = WINDOW_CLASS;
    plat::RegisterClassA(&wc);  // a failure shows as a failed window creation
}

void runExchange(RequestInfo* req, int visible) {
    registerWindowClass();
    plat::Hwnd hwnd = plat::CreateWindowExA(0, WINDOW_CLASS, "HTTP", 0, 0, 0, 30,
                                            10, plat::GetActiveWindow(), nullptr,
                                            hDllInst, nullptr);
    req->hwnd = hwnd;
    plat::ShowWindow(hwnd, visible ? plat::kSwShow : plat::kSwHide);

    // Without a window the lookup is not started and 1 is recorded.
    if (reachHost(req) == 0) {
        bool limited = req->idleLimitMs != 0 || timeLimit(req) != 0;
        bool reporting = req->watch && (req->watch->callback || req->watch->visible);
        if (limited) plat::SetTimer(hwnd, IDLE_TIMER, limitCheckInterval(req));
        if (reporting) plat::SetTimer(hwnd, PROGRESS_TIMER, PROGRESS_MS);
        runLoop(req);
        if (limited) plat::KillTimer(hwnd, IDLE_TIMER);
        if (reporting) plat::KillTimer(hwnd, PROGRESS_TIMER);
    }
    // An exchange that ended while its addresses raced (the limit, a
    // secure connection that failed) may have left the race's timer on.
    if (req->raceTimer) {
        plat::KillTimer(hwnd, RACE_TIMER);
        req->raceTimer = 0;
    }
    // A lookup still under way would write into the record's address list.
    if (req->lookupTask) {
        plat::WSACancelAsyncRequest(req->lookupTask);
        req->lookupTask = 0;
    }
    // A loop that ended without the exchange ending (its quit came from the
    // window procedure with no record to close) is a failure, not success.
    if (!ended(req)) {
        noteWhy(req, "the call's message loop ended before its exchange");
        recordResult(req, RESULT_REFUSED);
    }
    // Whatever is still open is closed before the result is read, so that
    // an output file that fails to close is never reported as stored.
    if (releaseConnection(req) != 0) {
        fileWhy(req, "closing", req->outFile, plat::fileError());
        recordResult(req, RESULT_NO_OUTPUT);
    }
    exchangeEnded(req);
    req->hwnd = nullptr;
    if (hwnd) plat::DestroyWindow(hwnd);
}

namespace {

// The engine asks here, as soon as an exchange's final head has arrived,
// whether the call keeps the reply. No box is shown meanwhile: it would be
// modal, and the exchange's own events would run while it shows. What could
// not be allocated is shown once the exchange has ended.
int judgeHead(void* calling, const RequestInfo* req) {
    Call& call = *static_cast<Call*>(calling);
    int was = setBoxesShown(0);
    Follow next = afterExchange(call, *req);
    setBoxesShown(was);
    switch (next) {
    case Follow::Another: return HEAD_PASSED_ON;
    case Follow::Refused: return call.ending;
    case Follow::Over: break;
    }
    return HEAD_KEPT;
}

// A call that its host cancelled, or whose time is up, starts no further
// exchange: it ends with 14 or 15, with its last exchange's reply to read.
bool stopsHere(const CallWatch& watch, RequestInfo* req) {
    if (req->result == RESULT_CANCELLED || req->result == RESULT_TIME_LIMIT) return true;
    int code = watch.cancelled ? RESULT_CANCELLED : overTimeLimit(&watch) ? RESULT_TIME_LIMIT : 0;
    if (!code) return false;
    if (req->result == 0) {
        req->result = code;
        std::snprintf(req->why, sizeof req->why, "%s", code == RESULT_CANCELLED
                          ? "the progress callback cancelled the call"
                          : "the call took longer than its time limit");
    }
    return true;
}

int runExchanges(Call& call) {
    for (;;) {
        int refusal = RESULT_REFUSED;
        RequestInfo* req = prepareExchange(call, &refusal);
        if (!req) return refusal;
        // Once, before anything of the call is sent: an output that can
        // never be made would have a server carry out a DELETE or a MOVE
        // for a call that reports a failure.
        if (call.exchanges == 0 &&
            plat::checkOut(call.outFile, &call.outHeld, call.options.keep) != 0) {
            int error = plat::fileError();
            char said[512], why[WHY_SIZE];
            fileWords(error, said, sizeof said);
            std::snprintf(why, sizeof why, "output \"%s\": %s", call.outFile, said);
            keepCallFailure(why, error);
            destroyRequest(req);
            return RESULT_NO_OUTPUT;
        }
        req->outHeld = call.outHeld;
        req->judgeHead = judgeHead;
        req->judgeCall = &call;
        req->watch = &call.watch;
        ++call.exchanges;
        runExchange(req, call.visible);
        // A kept connection its server had closed is no answer: the
        // exchange runs once more, on a new connection. Nothing of the
        // reply came, so the output is as it was, and the body file is
        // opened afresh.
        if (!call.freshOnly && keptConnectionFailed(req)) {
            call.freshOnly = 1;
            destroyRequest(req);
            continue;
        }
        call.freshOnly = 0;
        // A final head was judged as it arrived; an exchange that ended
        // before one came (a proxy's refusal among them) is judged now.
        Follow next = req->headJudged ? (req->passedOn ? Follow::Another : Follow::Over)
                                      : afterExchange(call, *req);
        if (call.noMemory) {
            showAllocFailure(call.noMemory);
            call.noMemory = nullptr;
        }
        if (next == Follow::Another && stopsHere(call.watch, req)) next = Follow::Over;
        // A reply passed on was neither stored nor waited for: the call
        // goes on, and it never ends on such a reply (afterExchange keeps
        // to the bound) unless it was cancelled or ran out of time.
        if (next != Follow::Another || call.exchanges >= MAX_EXCHANGES) {
            // The call's result, status, head and URL are those of its last
            // exchange.
            int result =
                req->passedOn && req->result == 0 ? RESULT_TOO_MANY_REDIRECTS : req->result;
            keepLastCall(req, currentUrl(call));
            destroyRequest(req);
            return result;
        }
        destroyRequest(req);
    }
}

}  // namespace

int DoRequest(Call& call) {
    call.outHeld = -1;
    call.watch = CallWatch{};
    progressSetting(&call.watch.callback, &call.watch.context);
    call.watch.visible = call.visible;
    call.watch.startedAt = plat::GetTickCount();
    call.watch.timeLimitMs = call.options.timeLimitMs;
    int result = runExchanges(call);
    // A held output is closed with the call; bytes it may have lost there
    // make a complete reply one that was not stored.
    if (call.outHeld >= 0 && plat::closeOut(call.outHeld) != 0 && result == RESULT_OK) {
        int error = plat::fileError();
        char said[512], why[WHY_SIZE];
        fileWords(error, said, sizeof said);
        std::snprintf(why, sizeof why, "closing \"%s\": %s", call.outFile, said);
        keepCallFailure(why, error);
        result = RESULT_NO_OUTPUT;
    }
    call.outHeld = -1;
    // The output is whole and closed: the host hears the end.
    reportFinal(&call.watch);
    return result;
}

}  // namespace quodra
