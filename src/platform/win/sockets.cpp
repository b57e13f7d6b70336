// Sockets, passed straight through to WS2_32; connect turns the layer's
// address record into the system's record of its family (system_address.h),
// and socket turns off the coalescing of small segments.
#include "platform/system_address.h"
#include "tls_socket.h"
#include "winsys.h"

// The core tests socket handles against -1 and keeps them in an intptr_t.
static_assert(sizeof(plat::Socket) == sizeof(SOCKET), "a SOCKET fits plat::Socket");

namespace plat {

using win::sysSocket;
using win::sysWindow;

int WSAGetLastError() { return ::WSAGetLastError(); }

Socket socket(int af, int type, int protocol) {
    SOCKET s = ::socket(af, type, protocol);
    // Requests go out in a few sends; none may wait for the peer's delayed
    // acknowledgement of the one before. A refusal leaves the bytes only
    // later, not lost.
    if (s != INVALID_SOCKET) {
        BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                     sizeof one);
    }
    return static_cast<Socket>(s);
}

// A secure socket (tls.cpp) goes through its record: plaintext for send and
// recv, its events through its helper window, its handshake after the connect.
using win::secureSocketOf;

int connect(Socket s, const SockAddr* addr, int len) {
    if (!addr || len < static_cast<int>(sizeof(SockAddr))) {
        ::WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    win::TlsSocket* secure = secureSocketOf(sysSocket(s));
    // A secure socket is selected first: its handshake runs on events.
    if (secure && !secure->helper) return win::tlsFail(WSAEINVAL);
    sockaddr_storage sa;
    int salen = toSystemAddress(*addr, &sa);
    if (!salen) {
        ::WSASetLastError(WSAEAFNOSUPPORT);
        return SOCKET_ERROR;
    }
    int r = ::connect(sysSocket(s), reinterpret_cast<const sockaddr*>(&sa), salen);
    return secure ? win::tlsConnect(*secure, r) : r;
}

int send(Socket s, const char* buf, int len, int flags) {
    if (win::TlsSocket* secure = secureSocketOf(sysSocket(s))) return win::tlsSend(*secure, buf, len);
    return ::send(sysSocket(s), buf, len, flags);
}

int recv(Socket s, char* buf, int len, int flags) {
    if (win::TlsSocket* secure = secureSocketOf(sysSocket(s))) return win::tlsRecv(*secure, buf, len);
    return ::recv(sysSocket(s), buf, len, flags);
}

int closesocket(Socket s) {
    if (win::TlsSocket* secure = secureSocketOf(sysSocket(s))) win::tlsClose(*secure);
    win::forgetSelection(sysSocket(s));
    return ::closesocket(sysSocket(s));
}

int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events) {
    if (win::TlsSocket* secure = secureSocketOf(sysSocket(s)))
        return win::tlsSelect(*secure, sysWindow(hwnd), msg, events);
    int r = ::WSAAsyncSelect(sysSocket(s), sysWindow(hwnd), msg, events);
    // Kept for startSecure, which makes the socket secure later.
    if (r == 0) win::noteSelection(sysSocket(s), sysWindow(hwnd), msg);
    return r;
}

}  // namespace plat
