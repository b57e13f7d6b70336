// Sockets, passed straight through to WS2_32. The layer's address record is
// laid out as the system's, so it crosses without copying; the checks below
// hold that true.
#include <cstddef>

#include "tls_link.h"
#include "winsys.h"

static_assert(sizeof(plat::SockAddrIn) == sizeof(sockaddr_in),
              "SockAddrIn matches sockaddr_in");
static_assert(offsetof(plat::SockAddrIn, sin_port) == offsetof(sockaddr_in, sin_port),
              "sin_port at the same place");
static_assert(offsetof(plat::SockAddrIn, sin_addr) == offsetof(sockaddr_in, sin_addr),
              "sin_addr at the same place");
// The core tests socket handles against -1 and keeps them in an intptr_t.
static_assert(sizeof(plat::Socket) == sizeof(SOCKET), "a SOCKET fits plat::Socket");

namespace plat {

using win::sysSocket;
using win::sysWindow;

int WSAGetLastError() { return ::WSAGetLastError(); }

Socket socket(int af, int type, int protocol) {
    return static_cast<Socket>(::socket(af, type, protocol));
}

// A secure socket (tls.cpp) goes through its record: plaintext for send and
// recv, its events through its helper window, its handshake after the connect.
using win::secureLink;

int connect(Socket s, const SockAddrIn* addr, int len) {
    win::TlsLink* link = secureLink(sysSocket(s));
    // A secure socket is selected first: its handshake runs on events.
    if (link && !link->helper) return win::tlsFail(WSAEINVAL);
    int r = ::connect(sysSocket(s), reinterpret_cast<const sockaddr*>(addr), len);
    return link ? win::tlsConnect(*link, r) : r;
}

int send(Socket s, const char* buf, int len, int flags) {
    if (win::TlsLink* link = secureLink(sysSocket(s))) return win::tlsSend(*link, buf, len);
    return ::send(sysSocket(s), buf, len, flags);
}

int recv(Socket s, char* buf, int len, int flags) {
    if (win::TlsLink* link = secureLink(sysSocket(s))) return win::tlsRecv(*link, buf, len);
    return ::recv(sysSocket(s), buf, len, flags);
}

int closesocket(Socket s) {
    if (win::TlsLink* link = secureLink(sysSocket(s))) win::tlsClose(*link);
    return ::closesocket(sysSocket(s));
}

int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events) {
    if (win::TlsLink* link = secureLink(sysSocket(s)))
        return win::tlsSelect(*link, sysWindow(hwnd), msg, events);
    return ::WSAAsyncSelect(sysSocket(s), sysWindow(hwnd), msg, events);
}

}  // namespace plat
