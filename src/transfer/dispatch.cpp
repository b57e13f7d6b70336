// The event window: routes the lookup completion, socket events and the
// no-progress timer of each exchange to their handlers.
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

int lowHalf(plat::LParam word) { return static_cast<int>(word & 0xFFFF); }
int highHalf(plat::LParam word) { return static_cast<int>((word >> 16) & 0xFFFF); }

// The first address of the lookup result, or false when it holds none.
bool firstAddress(const RequestInfo* req, uint32_t* addr) {
    const plat::HostEnt* he =
        reinterpret_cast<const plat::HostEnt*>(req->hostentbuf);
    if (!he || !he->h_addr_list || !he->h_addr_list[0] || he->h_length != 4)
        return false;
    std::memcpy(addr, he->h_addr_list[0], 4);
    return true;
}

void showLookupFailure(const RequestInfo* req, int error) {
    char text[64];
    std::snprintf(text, sizeof text, "Could not get IP address (%d)", error);
    showError(text, req->host);
}

}  // namespace

int OnHostNotify(RequestInfo* req, plat::LParam event) {
    int error = highHalf(event);
    req->lookuptask = 0;
    noteProgress(req);
    uint32_t addr = 0;
    if (!error && !firstAddress(req, &addr)) error = plat::kErrNoData;
    if (error) {
        showLookupFailure(req, error);
        httpDisconnect(req, error);
        return 1;
    }
    req->sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
    if (req->sock == plat::kInvalidSocket) {
        showError("Invalid socket", QUODRA_PRODUCT);
        httpDisconnect(req, RESULT_REFUSED);
        return 1;
    }
    if (int code = makeSecure(req)) {
        httpDisconnect(req, code);
        return 1;
    }
    plat::SockAddrIn peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = plat::kAfInet;
    peer.sin_port = plat::htons(req->port);
    peer.sin_addr = addr;
    plat::WSAAsyncSelect(req->sock, req->hwnd, WM_NETNOTIFY, NET_EVENTS);
    if (plat::connect(req->sock, &peer, sizeof peer) != plat::kSocketError) {
        OnSocketConnect(req, 0);
        return 0;
    }
    int err = plat::WSAGetLastError();
    if (err == plat::kErrWouldBlock) return 0;
    char text[64];
    std::snprintf(text, sizeof text, "Error %d connecting socket", err);
    showError(text, QUODRA_PRODUCT);
    httpDisconnect(req, RESULT_REFUSED);
    return 1;
}

int OnNetNotify(RequestInfo* req, plat::LParam event) {
    int what = lowHalf(event);
    int error = highHalf(event);
    if (error == plat::kErrWouldBlock) return 1;
    switch (what) {
    case plat::kFdRead: OnSocketRead(req); break;
    case plat::kFdWrite: OnSocketWrite(req); break;
    case plat::kFdConnect: OnSocketConnect(req, error); break;
    case plat::kFdClose: OnSocketClose(req, error); break;
    default: break;
    }
    return 1;
}

void OnSocketConnect(RequestInfo* req, int error) {
    if (!req) return;
    if (error != 0 && error != plat::kErrWouldBlock) {
        httpDisconnect(req, connectFailure(error));
        return;
    }
    if (req->state >= STATE_SEND_REQUEST) return;
    noteProgress(req);
    setNextState(req);
    OnSocketWrite(req);
}

void OnSocketClose(RequestInfo* req, int error) {
    if (!req) return;
    // The close may be reported while bytes are still waiting: take them
    // first, so that nothing the peer sent is lost.
    if (req->state == STATE_RECEIVE) OnSocketRead(req);
    // A close reported with an error was a reset, whatever the drain saw
    // after it: a reply without a length is then not known to be whole.
    if (error != 0) req->peerclosed = 0;
    int code;
    if (replyComplete(req))
        code = RESULT_OK;
    else if (error != 0)
        code = socketFailure(error);
    else
        code = RESULT_ENDED_EARLY;
    httpDisconnect(req, code);
}

}  // namespace quodra

using namespace quodra;

extern "C" plat::LResult QUODRA_STDCALL NetWndProc(plat::Hwnd hwnd, unsigned msg,
                                                   plat::WParam wParam,
                                                   plat::LParam lParam) {
    switch (msg) {
    case WM_NETNOTIFY:
        OnNetNotify(getRequest(static_cast<plat::Socket>(wParam)), lParam);
        return 0;
    case WM_HOSTNOTIFY: {
        RequestInfo* req = getRequestFromHwnd(hwnd);
        if (!req) {
            plat::PostMessageA(hwnd, plat::kWmQuit, 0, 0);
            return 0;
        }
        // A failed handler has ended the exchange, which posted the quit;
        // only an ending that did not is closed here, so one quit per call.
        if (OnHostNotify(req, lParam) != 0 && req->hwnd)
            httpDisconnect(req, RESULT_REFUSED);
        return 0;
    }
    case plat::kWmTimer: {
        if (wParam != IDLE_TIMER) break;
        RequestInfo* req = getRequestFromHwnd(hwnd);
        if (req && plat::GetTickCount() - req->lastprogress >= idleLimit())
            httpDisconnect(req, plat::kErrTimedOut);
        return 0;
    }
    default:
        break;
    }
    return plat::DefWindowProcA(hwnd, msg, wParam, lParam);
}
