// Windows Sockets, passed straight through to WS2_32 asked for version 1.1.
// The platform layer's records are laid out as the system's, so buffers and
// addresses cross without copying; the checks below hold that true.
#include <cstddef>

#include "winsys.h"

static_assert(sizeof(plat::SockAddrIn) == sizeof(sockaddr_in),
              "SockAddrIn matches sockaddr_in");
static_assert(offsetof(plat::SockAddrIn, sin_port) == offsetof(sockaddr_in, sin_port),
              "sin_port at the same place");
static_assert(offsetof(plat::SockAddrIn, sin_addr) == offsetof(sockaddr_in, sin_addr),
              "sin_addr at the same place");
static_assert(sizeof(plat::HostEnt) == sizeof(hostent), "HostEnt matches hostent");
static_assert(offsetof(plat::HostEnt, h_addrtype) == offsetof(hostent, h_addrtype),
              "h_addrtype at the same place");
static_assert(offsetof(plat::HostEnt, h_length) == offsetof(hostent, h_length),
              "h_length at the same place");
static_assert(offsetof(plat::HostEnt, h_addr_list) == offsetof(hostent, h_addr_list),
              "h_addr_list at the same place");
// The core tests socket handles against -1 and keeps them in an intptr_t.
static_assert(sizeof(plat::Socket) == sizeof(SOCKET), "a SOCKET fits plat::Socket");
static_assert(static_cast<plat::Socket>(INVALID_SOCKET) == -1,
              "INVALID_SOCKET reads as -1");

namespace {

SOCKET sys(plat::Socket s) { return static_cast<SOCKET>(s); }
HWND win(plat::Hwnd h) { return static_cast<HWND>(h); }

}  // namespace

namespace plat {

int WSAStartup(uint16_t version) {
    WSADATA data;  // what the system reports of itself is not needed
    return ::WSAStartup(version, &data);
}

int WSACleanup() { return ::WSACleanup(); }

int WSAGetLastError() { return ::WSAGetLastError(); }

uint32_t inet_addr(const char* text) { return ::inet_addr(text); }

uint16_t htons(uint16_t v) { return ::htons(v); }

Socket socket(int af, int type, int protocol) {
    return static_cast<Socket>(::socket(af, type, protocol));
}

int connect(Socket s, const SockAddrIn* addr, int len) {
    return ::connect(sys(s), reinterpret_cast<const sockaddr*>(addr), len);
}

int send(Socket s, const char* buf, int len, int flags) {
    return ::send(sys(s), buf, len, flags);
}

int recv(Socket s, char* buf, int len, int flags) {
    return ::recv(sys(s), buf, len, flags);
}

int closesocket(Socket s) { return ::closesocket(sys(s)); }

int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events) {
    return ::WSAAsyncSelect(sys(s), win(hwnd), msg, events);
}

Handle WSAAsyncGetHostByName(Hwnd hwnd, unsigned msg, const char* name,
                             char* buf, int buflen) {
    return reinterpret_cast<Handle>(
        ::WSAAsyncGetHostByName(win(hwnd), msg, name, buf, buflen));
}

Handle WSAAsyncGetHostByAddr(Hwnd hwnd, unsigned msg, const char* addr,
                             int len, int type, char* buf, int buflen) {
    return reinterpret_cast<Handle>(
        ::WSAAsyncGetHostByAddr(win(hwnd), msg, addr, len, type, buf, buflen));
}

int WSACancelAsyncRequest(Handle task) {
    return ::WSACancelAsyncRequest(reinterpret_cast<HANDLE>(task));
}

}  // namespace plat
