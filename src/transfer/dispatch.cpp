// The event window: routes the lookup completion, socket events (of the
// exchange's socket and of its connect attempts) and the two timers of each
// exchange, the no-progress check and the race of its addresses, to their
// handlers.
#include <cstdio>

#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

int lowHalf(plat::LParam word) { return static_cast<int>(word & 0xFFFF); }
int highHalf(plat::LParam word) { return static_cast<int>((word >> 16) & 0xFFFF); }

void showLookupFailure(const RequestInfo* req, int error) {
    char text[64];
    std::snprintf(text, sizeof text, "Could not get IP address (%d)", error);
    showError(text, peerHost(req));
}

// Why the lookup failed: a name the resolver does not know, a name without
// an address, or the resolver's own words.
void lookupWhy(RequestInfo* req, int error) {
    // Through a proxy the name looked up is the proxy's.
    const char* host = peerHost(req) ? peerHost(req) : "";
    const char* what = req->proxyHost ? "proxy host" : "host";
    char said[512];
    socketWords(error, said, sizeof said);
    if (error == plat::kErrHostNotFound) noteWhy(req, "%s \"%s\" not found (%s)", what, host, said);
    else if (error == plat::kErrNoData) noteWhy(req, "%s \"%s\" has no address (%s)", what, host, said);
    else noteWhy(req, "looking up %s \"%s\": %s", what, host, said);
}

}  // namespace

int OnHostNotify(RequestInfo* req, plat::LParam event) {
    int error = highHalf(event);
    int count = lowHalf(event);
    req->lookupTask = 0;
    noteProgress(req);
    if (!error && count == 0) error = plat::kErrNoData;
    if (error) {
        lookupWhy(req, error);
        showLookupFailure(req, error);
        // A proxy's name not found: no connection was made, and the
        // lookup's error stands behind that, so that the caller tells it
        // from the server's own name not found (the error itself).
        if (req->proxyHost) endExchange(req, RESULT_REFUSED, error);
        else endExchange(req, error);
        return 1;
    }
    req->addrCount = count < MAX_ADDRESSES ? count : MAX_ADDRESSES;
    req->addrNext = 0;
    interleaveFamilies(req->addrs, req->addrCount);
    return startAttempt(req);
}

int OnNetNotify(RequestInfo* req, plat::Socket sock, plat::LParam event) {
    int what = lowHalf(event);
    int error = highHalf(event);
    if (error == plat::kErrWouldBlock) return 1;
    // An attempt that has not connected has nothing else to tell.
    if (req && sock != req->sock && what != plat::kFdConnect) return 1;
    switch (what) {
    case plat::kFdRead: OnSocketRead(req); break;
    case plat::kFdWrite: OnSocketWrite(req); break;
    case plat::kFdConnect: OnSocketConnect(req, sock, error); break;
    case plat::kFdClose: OnSocketClose(req, error); break;
    default: break;
    }
    return 1;
}

void OnSocketConnect(RequestInfo* req, plat::Socket sock, int error) {
    if (!req || ended(req)) return;
    bool failed = error != 0 && error != plat::kErrWouldBlock;
    if (req->state == State::Idle && isAttempt(req, sock)) {
        // A TCP failure before anything was sent: the host's other
        // addresses may answer. A secure connection that failed (7, 10)
        // ends the call, whichever address it was for.
        if (!failed) {
            attemptConnected(req, sock);
        } else if (int code = resultOfConnectError(error); code != RESULT_REFUSED) {
            secureWhy(req, sock, code);
            endExchange(req, code);
        } else {
            attemptFailed(req, sock, error);
        }
        return;
    }
    // Through a proxy's tunnel: the outcome of the TLS handshake.
    if (req->state == State::TunnelHandshake && sock == req->sock) {
        tunnelSecured(req, failed ? error : 0);
        return;
    }
    // The exchange's own socket: a connect that succeeded at once is told
    // by its event too.
    if (sock != req->sock || !failed) return;
    int code = resultOfConnectError(error);
    secureWhy(req, sock, code);
    endExchange(req, code, code == RESULT_REFUSED ? error : 0);
}

void OnSocketClose(RequestInfo* req, int error) {
    if (!req || ended(req)) return;
    // A close of the tunnel's plain part, queued before TLS started: the
    // handshake's connect event tells how the connection ended.
    if (req->state == State::TunnelHandshake) return;
    // The close may be reported while bytes are still waiting: take them
    // first, so that nothing the peer sent is lost. A reset it reports is
    // the end, whatever the receives see after it.
    req->closeError = error;
    if (req->state != State::Idle) OnSocketRead(req);
    endReply(req, error);
}

}  // namespace quodra

using namespace quodra;

extern "C" plat::LResult QUODRA_STDCALL NetWndProc(plat::Hwnd hwnd, unsigned msg,
                                                   plat::WParam wParam,
                                                   plat::LParam lParam) {
    // Another call's loop on this thread may dispatch an event of this
    // record: its boxes follow the options this record's call started with.
    switch (msg) {
    case WM_NETNOTIFY: {
        plat::Socket sock = static_cast<plat::Socket>(wParam);
        RequestInfo* req = getRequest(sock);
        int was = req ? setBoxesShown(!req->noBoxes) : -1;
        OnNetNotify(req, sock, lParam);
        if (was >= 0) setBoxesShown(was);
        // Between two events, never inside a send or a receive: a report
        // may be due, also when a busy socket keeps the timer waiting.
        reportProgress(req);
        return 0;
    }
    case WM_HOSTNOTIFY: {
        RequestInfo* req = getRequestFromHwnd(hwnd);
        if (!req) {
            plat::PostMessageA(hwnd, plat::kWmQuit, 0, 0);
            return 0;
        }
        // No lookup of this exchange is under way (a numeric host needs
        // none, an ended exchange has none left): a completion now belongs
        // to nothing and changes nothing.
        if (!req->lookupTask || ended(req)) return 0;
        int was = setBoxesShown(!req->noBoxes);
        // A failed handler has ended the exchange, which posted the quit;
        // only an ending that did not is closed here, so one quit per call.
        if (OnHostNotify(req, lParam) != 0 && !ended(req))
            endExchange(req, RESULT_REFUSED);
        setBoxesShown(was);
        return 0;
    }
    case plat::kWmTimer: {
        if (wParam != IDLE_TIMER && wParam != RACE_TIMER && wParam != CONTINUE_TIMER &&
            wParam != PROGRESS_TIMER)
            break;
        RequestInfo* req = getRequestFromHwnd(hwnd);
        if (!req) return 0;
        if (wParam == CONTINUE_TIMER) {
            // No word from the server: the body goes anyway.
            if (!ended(req)) continueSending(req);
        } else if (wParam == RACE_TIMER) {
            // The attempt it starts may be the last to fail at once: its box.
            int was = setBoxesShown(!req->noBoxes);
            OnRaceTimer(req);
            setBoxesShown(was);
        } else if (wParam == PROGRESS_TIMER) {
            reportProgress(req);
        } else {
            OnLimitTimer(req);
        }
        return 0;
    }
    default:
        break;
    }
    return plat::DefWindowProcA(hwnd, msg, wParam, lParam);
}
