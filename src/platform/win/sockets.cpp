// Sockets, passed straight through to WS2_32. The layer's address record is
// laid out as the system's, so it crosses without copying; the checks below
// hold that true.
#include <cstddef>

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

int connect(Socket s, const SockAddrIn* addr, int len) {
    return ::connect(sysSocket(s), reinterpret_cast<const sockaddr*>(addr), len);
}

int send(Socket s, const char* buf, int len, int flags) {
    return ::send(sysSocket(s), buf, len, flags);
}

int recv(Socket s, char* buf, int len, int flags) {
    return ::recv(sysSocket(s), buf, len, flags);
}

int closesocket(Socket s) { return ::closesocket(sysSocket(s)); }

int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events) {
    return ::WSAAsyncSelect(sysSocket(s), sysWindow(hwnd), msg, events);
}

}  // namespace plat
