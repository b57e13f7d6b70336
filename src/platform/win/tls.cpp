// Secure sockets over SChannel. secureSocket gives a socket its record and
// its credentials (TLS 1.2 or newer, no automatic certificate check: the
// backend checks the certificate itself). Its selection goes to a hidden
// helper window, a child of the call's window so that the core's loop,
// filtered on that window, takes the helper's messages too; the helper runs
// SChannel (tls_io.cpp) and posts to the call's window what the core sees.
#include <cstring>
#include <initializer_list>
#include <new>

#include "tls_link.h"

namespace plat {
namespace win {

namespace {

const char kHelperClass[] = "QuodraSecureSocket";

// The secure sockets of this thread: the library uses a socket only on the
// thread that made it, so the list needs no lock.
thread_local TlsLink* threadLinks = nullptr;

LRESULT CALLBACK helperProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != kTlsSocketMsg) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
    TlsLink* link = reinterpret_cast<TlsLink*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    // An event queued before the socket was closed finds no link.
    if (link && link->s == static_cast<SOCKET>(wParam))
        tlsSocketEvent(*link, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
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

// TLS 1.2 and 1.3 where the system has both, else 1.2 alone; a system
// without 1.2 has no credentials to give, and the exchange ends with 7.
bool acquireCredentials(TlsLink& link) {
    for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                            DWORD(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = protocols;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        SECURITY_STATUS st = ::AcquireCredentialsHandleA(
            nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &cred,
            nullptr, nullptr, &link.cred, nullptr);
        if (st == SEC_E_OK) return link.haveCred = true;
    }
    return false;
}

void freeLink(TlsLink* link) {
    if (!link) return;
    if (link->haveCtx) ::DeleteSecurityContext(&link->ctx);
    if (link->haveCred) ::FreeCredentialsHandle(&link->cred);
    delete[] link->host;
    delete[] link->in;
    delete[] link->out;
    delete link;
}

TlsLink* makeLink(SOCKET s, const char* host, int flags) {
    TlsLink* link = new (std::nothrow) TlsLink;
    if (!link) return nullptr;
    size_t n = std::strlen(host);
    link->host = new (std::nothrow) char[n + 1];
    link->in = new (std::nothrow) char[kTlsIn];
    link->out = new (std::nothrow) char[kTlsOut];
    if (!link->host || !link->in || !link->out) {
        freeLink(link);
        return nullptr;
    }
    std::memcpy(link->host, host, n + 1);
    link->s = s;
    link->flags = flags;
    unsigned char bytes[16];
    DWORD len = 0;
    link->address = tlsAddressBytes(host, bytes, &len);
    return link;
}

}  // namespace

int tlsFail(int error) {
    ::WSASetLastError(error);
    return SOCKET_ERROR;
}

TlsLink* secureLink(SOCKET s) {
    for (TlsLink* link = threadLinks; link; link = link->next)
        if (link->s == s) return link;
    return nullptr;
}

void tlsPost(TlsLink& link, long event, int error) {
    ::PostMessageA(link.callWindow, link.callMsg, static_cast<WPARAM>(link.s),
                   WSAMAKESELECTREPLY(event, error));
}

int tlsSelect(TlsLink& link, HWND window, UINT msg, long events) {
    // Selected once, for all four events: the library's way.
    if (link.helper || events != (FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE))
        return tlsFail(WSAEINVAL);
    HINSTANCE inst = thisModule();
    if (!helperClass(inst)) return tlsFail(WSAENOBUFS);
    link.helper = ::CreateWindowExA(0, kHelperClass, "", WS_CHILD, 0, 0, 0, 0, window, nullptr,
                                    inst, nullptr);
    if (!link.helper) return tlsFail(WSAENOBUFS);
    ::SetWindowLongPtrA(link.helper, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&link));
    link.callWindow = window;
    link.callMsg = msg;
    return ::WSAAsyncSelect(link.s, link.helper, kTlsSocketMsg, events);
}

int tlsConnect(TlsLink& link, int result) {
    if (result == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) return result;
    // Even a connect done at once is told by FD_CONNECT, which starts the
    // handshake: the core hears of it only when that is done.
    link.phase = Phase::Connecting;
    return tlsFail(WSAEWOULDBLOCK);
}

void tlsClose(TlsLink& link) {
    if (link.phase == Phase::Open && !link.failure && !link.rawError) tlsSendNotice(link);
    for (TlsLink** at = &threadLinks; *at; at = &(*at)->next)
        if (*at == &link) {
            *at = link.next;
            break;
        }
    // The call's window may be gone already, and its child with it.
    if (link.helper && ::IsWindow(link.helper)) {
        ::SetWindowLongPtrA(link.helper, GWLP_USERDATA, 0);
        ::DestroyWindow(link.helper);
    }
    freeLink(&link);
}

}  // namespace win

using namespace win;

int secureSocket(Socket s, const char* host, int flags) {
    SOCKET sys = sysSocket(s);
    int type = 0;
    int len = sizeof type;
    if (::getsockopt(sys, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0)
        return SOCKET_ERROR;  // not a socket: its error is set
    if (!host || !*host || (flags & ~kSecureNoVerify) || secureLink(sys)) return tlsFail(WSAEINVAL);
    TlsLink* link = makeLink(sys, host, flags);
    if (!link) return tlsFail(WSAENOBUFS);
    if (!acquireCredentials(*link)) {
        freeLink(link);
        return tlsFail(kErrSecureFailed);
    }
    link->next = threadLinks;
    threadLinks = link;
    return 0;
}

}  // namespace plat
