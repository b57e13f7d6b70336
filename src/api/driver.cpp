// The per-call driver: one prepared request run to its end on the calling
// thread through its own event window and message loop.
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
    uint32_t every = req->idlelimit / 4;
    if (every < 10) every = 10;
    if (every > 1000) every = 1000;
    return every;
}

// Pumps the window's messages until the exchange has posted its quit.
void runLoop(RequestInfo* req) {
    plat::Msg msg;
    for (;;) {
        // The filter follows the record: once the exchange has ended and
        // cleared its window, the loop takes what is queued up to the quit.
        int got = plat::GetMessageA(&msg, req->hwnd, 0, 0);
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

void InitWindowClass() {
    if (plat::GetClassInfoA(hDllInst, WINDOW_CLASS)) return;
    plat::WndClass wc{};
    wc.style = 0;
    wc.lpfnWndProc = NetWndProc;
    wc.hInstance = hDllInst;
    wc.lpszClassName = WINDOW_CLASS;
    plat::RegisterClassA(&wc);  // a failure shows as a failed window creation
}

int DoRequest(RequestInfo* req, const char* outfile, int visible) {
    req->outfile = copyText(outfile, "outfile");
    if (!req->outfile) {
        destroyRequest(req);
        return RESULT_REFUSED;
    }
    calculateContentLength(req);
    makeHeaders(req);
    // A request that could not be composed whole (a piece failed to be
    // allocated, which has shown its box and recorded 1) is not started:
    // nothing of it goes out and no window is made.
    if (req->result != 0 || !req->request || !req->headers) {
        destroyRequest(req);
        return RESULT_REFUSED;
    }

    InitWindowClass();
    plat::Hwnd hwnd = plat::CreateWindowExA(0, WINDOW_CLASS, "HTTP", 0, 0, 0, 30,
                                            10, plat::GetActiveWindow(), nullptr,
                                            hDllInst, nullptr);
    req->hwnd = hwnd;
    plat::ShowWindow(hwnd, visible ? plat::kSwShow : plat::kSwHide);

    // Without a window the lookup is not started and 1 is recorded.
    if (httpConnect(req) == 0) {
        bool limited = req->idlelimit != 0;
        if (limited) plat::SetTimer(hwnd, IDLE_TIMER, idleCheckInterval(req));
        runLoop(req);
        if (limited) plat::KillTimer(hwnd, IDLE_TIMER);
    }
    // A lookup still under way would write into the record's address list.
    if (req->lookuptask) {
        plat::WSACancelAsyncRequest(req->lookuptask);
        req->lookuptask = 0;
    }
    // A loop that ended without the exchange ending (its quit came from the
    // window procedure with no record to close) is a failure, not success.
    if (req->state != STATE_CLOSED) recordResult(req, RESULT_REFUSED);
    // Whatever is still open is closed before the result is read, so that
    // an output file that fails to close is never reported as stored.
    recordResult(req, releaseConnection(req));

    int result = req->result;
    keepLastCall(req);
    destroyRequest(req);
    if (hwnd) plat::DestroyWindow(hwnd);
    return result;
}

}  // namespace quodra
