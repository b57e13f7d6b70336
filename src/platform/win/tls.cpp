// Secure sockets on Windows: a secure link (../secure_link.cpp) over the
// socket, with an SChannel engine (schannel_engine.cpp). The socket's own
// events go to a hidden helper window, a child of the call's window so that
// the core's loop, filtered on that window, takes the helper's messages
// too; the helper runs the link, which posts to the call's window what the
// core sees.
#include <cstdio>
#include <cstring>
#include <new>

#include "tls_socket.h"

namespace plat {
namespace win {

namespace {

const char kHelperClass[] = "QuodraSecureSocket";
// The helper's messages: the socket's own events, as WSAAsyncSelect posts
// them, and a run of the link that the core's calls left due.
constexpr UINT kSocketMsg = WM_USER + 1;
constexpr UINT kRunMsg = WM_USER + 2;

// The secure sockets of this thread, and the selections of its plain ones:
// the library uses a socket only on the thread that made it, so neither
// list needs a lock.
thread_local TlsSocket* threadSockets = nullptr;

struct Selection {
    Selection* next;
    SOCKET s;
    HWND window;
    UINT msg;
};
thread_local Selection* threadSelections = nullptr;

// Why the thread's last secureSocket or startSecure could not make its
// socket secure: a socket without a link has nowhere else to keep it.
thread_local char setupReason[256];

// ---- the link's transport: the socket, and the call's window ----

int linkRead(void* ctx, char* buf, int len, int* error) {
    int n = ::recv(static_cast<TlsSocket*>(ctx)->s, buf, len, 0);
    if (n == SOCKET_ERROR) *error = ::WSAGetLastError();
    return n == SOCKET_ERROR ? -1 : n;
}

int linkWrite(void* ctx, const char* buf, int len, int* error) {
    int n = ::send(static_cast<TlsSocket*>(ctx)->s, buf, len, 0);
    if (n == SOCKET_ERROR) *error = ::WSAGetLastError();
    return n == SOCKET_ERROR ? -1 : n;
}

void linkPost(void* ctx, long event, int error) {
    TlsSocket& ts = *static_cast<TlsSocket*>(ctx);
    ::PostMessageA(ts.callWindow, ts.callMsg, static_cast<WPARAM>(ts.s),
                   WSAMAKESELECTREPLY(event, error));
}

const SecureTransport kTransport = {linkRead, linkWrite, linkPost};

// A link left due by the core's call is run from the helper's queue, after
// the core's handler has returned, as the socket's own events are.
void runWhenDue(TlsSocket& ts) {
    if (ts.wakePending || !ts.helper || !secureDue(*ts.link)) return;
    ts.wakePending = ::PostMessageA(ts.helper, kRunMsg, static_cast<WPARAM>(ts.s), 0) != 0;
}

LRESULT CALLBACK helperProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kSocketMsg && msg != kRunMsg) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    TlsSocket* ts = reinterpret_cast<TlsSocket*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    // A message queued before the socket was closed finds no record.
    if (!ts || ts->s != static_cast<SOCKET>(wParam)) return 0;
    if (msg == kRunMsg) {
        ts->wakePending = false;
        secureRun(*ts->link, false, false);
        return 0;
    }
    int event = WSAGETSELECTEVENT(lParam);
    if (event == FD_CONNECT) {
        secureConnected(*ts->link, WSAGETSELECTERROR(lParam));
        return 0;
    }
    // The events only say that bytes or room have come, or the end; what
    // they mean for the core is the link's to say.
    secureRun(*ts->link, event == FD_READ || event == FD_CLOSE, event == FD_WRITE);
    return 0;
}

HINSTANCE thisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&helperProc), &module);
    return module;
}

// Registered once per process and kept, like the core's own class; two
// threads registering at once both find it there afterwards.
bool helperClass(HINSTANCE inst) {
    WNDCLASSA wc{};
    if (::GetClassInfoA(inst, kHelperClass, &wc)) return true;
    wc.lpfnWndProc = helperProc;
    wc.hInstance = inst;
    wc.lpszClassName = kHelperClass;
    return ::RegisterClassA(&wc) != 0 || ::GetClassInfoA(inst, kHelperClass, &wc);
}

void freeSocket(TlsSocket* ts) {
    if (!ts) return;
    secureLinkFree(ts->link);
    delete ts;
}

// A record for s with its link and engine; null with *error set when one
// cannot be made.
TlsSocket* makeSocket(SOCKET s, const char* host, int flags, int* error) {
    setupReason[0] = '\0';
    TlsSocket* ts = new (std::nothrow) TlsSocket;
    *error = WSAENOBUFS;
    if (!ts) return nullptr;
    ts->s = s;
    ts->link = secureLinkNew(&kTransport, ts, kSecureInSize, kSecureOutSize);
    if (ts->link) *error = attachSchannel(*ts->link, host, flags);
    if (!ts->link || *error) {
        std::snprintf(setupReason, sizeof setupReason, "%s",
                      *error == kErrSecureFailed
                          ? "SChannel has no credentials for TLS 1.2 or newer on this system"
                          : "memory ran out for the secure socket");
        freeSocket(ts);
        return nullptr;
    }
    return ts;
}

void keep(TlsSocket* ts) {
    ts->next = threadSockets;
    threadSockets = ts;
}

bool usableArguments(const char* host, int flags) {
    return host && *host && (flags & ~kSecureNoVerify) == 0;
}

Selection* selectionOf(SOCKET s) {
    for (Selection* sel = threadSelections; sel; sel = sel->next)
        if (sel->s == s) return sel;
    return nullptr;
}

}  // namespace

int tlsFail(int error) {
    ::WSASetLastError(error);
    return SOCKET_ERROR;
}

TlsSocket* secureSocketOf(SOCKET s) {
    for (TlsSocket* ts = threadSockets; ts; ts = ts->next)
        if (ts->s == s) return ts;
    return nullptr;
}

int tlsSelect(TlsSocket& ts, HWND window, UINT msg, long events) {
    // Selected once, for all four events: the library's way.
    if (ts.helper || events != (FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE))
        return tlsFail(WSAEINVAL);
    HINSTANCE inst = thisModule();
    if (!helperClass(inst)) return tlsFail(WSAENOBUFS);
    ts.helper = ::CreateWindowExA(0, kHelperClass, "", WS_CHILD, 0, 0, 0, 0, window, nullptr, inst,
                                  nullptr);
    if (!ts.helper) return tlsFail(WSAENOBUFS);
    ::SetWindowLongPtrA(ts.helper, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&ts));
    ts.callWindow = window;
    ts.callMsg = msg;
    return ::WSAAsyncSelect(ts.s, ts.helper, kSocketMsg, events);
}

int tlsConnect(TlsSocket& ts, int result) {
    (void)ts;
    if (result == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) return result;
    // Even a connect done at once is told by FD_CONNECT, which starts the
    // handshake: the core hears of it only when that is done.
    return tlsFail(WSAEWOULDBLOCK);
}

int tlsSend(TlsSocket& ts, const char* buf, int len) {
    if (len < 0) return tlsFail(WSAEINVAL);
    int error = 0;
    int n = secureSend(*ts.link, buf, len, &error);
    runWhenDue(ts);
    // Set last: every system call in between may change the thread's error.
    return n < 0 ? tlsFail(error) : n;
}

int tlsRecv(TlsSocket& ts, char* buf, int len) {
    if (len < 0) return tlsFail(WSAEINVAL);
    int error = 0;
    int n = secureRecv(*ts.link, buf, len, &error);
    runWhenDue(ts);
    return n < 0 ? tlsFail(error) : n;
}

void tlsClose(TlsSocket& ts) {
    secureClose(*ts.link);
    for (TlsSocket** at = &threadSockets; *at; at = &(*at)->next)
        if (*at == &ts) {
            *at = ts.next;
            break;
        }
    // The call's window may be gone already, and its child with it.
    if (ts.helper && ::IsWindow(ts.helper)) {
        ::SetWindowLongPtrA(ts.helper, GWLP_USERDATA, 0);
        ::DestroyWindow(ts.helper);
    }
    freeSocket(&ts);
}

void noteSelection(SOCKET s, HWND window, UINT msg) {
    Selection* sel = selectionOf(s);
    if (!sel) {
        // Without memory for the note the selection still stands; only
        // startSecure, which needs it, is refused for this socket.
        sel = new (std::nothrow) Selection{threadSelections, s, nullptr, 0};
        if (!sel) return;
        threadSelections = sel;
    }
    sel->window = window;
    sel->msg = msg;
}

void forgetSelection(SOCKET s) {
    for (Selection** at = &threadSelections; *at; at = &(*at)->next)
        if ((*at)->s == s) {
            Selection* gone = *at;
            *at = gone->next;
            delete gone;
            return;
        }
}

}  // namespace win

using namespace win;

int secureSocket(Socket s, const char* host, int flags) {
    SOCKET sys = sysSocket(s);
    int type = 0;
    int len = sizeof type;
    if (::getsockopt(sys, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0)
        return SOCKET_ERROR;  // not a socket: its error is set
    if (!usableArguments(host, flags) || secureSocketOf(sys) || selectionOf(sys))
        return tlsFail(WSAEINVAL);
    int error = 0;
    TlsSocket* ts = makeSocket(sys, host, flags, &error);
    if (!ts) return tlsFail(error);
    keep(ts);
    return 0;
}

// Only on a socket of this thread that it selected and that is connected:
// its events go on to the same window, through a helper of its own, and its
// handshake starts at once.
int startSecure(Socket s, const char* host, int flags) {
    SOCKET sys = sysSocket(s);
    Selection* sel = selectionOf(sys);
    sockaddr_storage peer{};
    int peerLen = sizeof peer;
    if (!usableArguments(host, flags) || !sel || secureSocketOf(sys) ||
        ::getpeername(sys, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0)
        return tlsFail(WSAEINVAL);
    int error = 0;
    TlsSocket* ts = makeSocket(sys, host, flags, &error);
    if (!ts) return tlsFail(error);
    HWND window = sel->window;
    UINT msg = sel->msg;
    if (tlsSelect(*ts, window, msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
        error = ::WSAGetLastError();
        if (ts->helper) ::DestroyWindow(ts->helper);
        freeSocket(ts);
        // The socket stays selected as it was.
        ::WSAAsyncSelect(sys, window, msg, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
        return tlsFail(error);
    }
    forgetSelection(sys);
    keep(ts);
    secureConnected(*ts->link, 0);
    return 0;
}

int secureFailure(Socket s, char* buf, int size) {
    if (!buf || size <= 0) return 0;
    TlsSocket* ts = secureSocketOf(sysSocket(s));
    if (ts) return secureReason(*ts->link, buf, size);
    int n = std::snprintf(buf, static_cast<size_t>(size), "%s", setupReason);
    return n < size ? n : size - 1;
}

int socketMoved(Socket s, uint32_t* tick) {
    TlsSocket* ts = secureSocketOf(sysSocket(s));
    if (!ts || !tick) return 0;
    return secureMoved(*ts->link, tick) ? 1 : 0;
}

}  // namespace plat
