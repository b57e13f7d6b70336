// The per-call driver: a call run as a sequence of exchanges, each on the
// calling thread through its own event window and message loop, with the
// course of the call decided after each by afterExchange.
#include "api/api.h"
#include "api/last_call.h"
#include "common/alloc.h"
#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// How often the no-progress limit is checked: often enough for a short
// limit, never more than once a second.
unsigned idleCheckInterval(const RequestInfo* req) {
    uint32_t every = req->idleLimitMs / 4;
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
        bool limited = req->idleLimitMs != 0;
        if (limited) plat::SetTimer(hwnd, IDLE_TIMER, idleCheckInterval(req));
        runLoop(req);
        if (limited) plat::KillTimer(hwnd, IDLE_TIMER);
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
    if (!ended(req)) recordResult(req, RESULT_REFUSED);
    // Whatever is still open is closed before the result is read, so that
    // an output file that fails to close is never reported as stored.
    recordResult(req, releaseConnection(req));
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
            destroyRequest(req);
            return RESULT_NO_OUTPUT;
        }
        req->outHeld = call.outHeld;
        req->judgeHead = judgeHead;
        req->judgeCall = &call;
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
        // A reply passed on was neither stored nor waited for: the call
        // goes on, and it never ends on such a reply (afterExchange keeps
        // to the bound).
        if (next != Follow::Another || call.exchanges >= MAX_EXCHANGES) {
            // The call's result, status, head and URL are those of its last
            // exchange.
            int result = req->passedOn ? RESULT_TOO_MANY_REDIRECTS : req->result;
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
    int result = runExchanges(call);
    // A held output is closed with the call; bytes it may have lost there
    // make a complete reply one that was not stored.
    if (call.outHeld >= 0 && plat::closeOut(call.outHeld) != 0 && result == RESULT_OK)
        result = RESULT_NO_OUTPUT;
    call.outHeld = -1;
    return result;
}

}  // namespace quodra
