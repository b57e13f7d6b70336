// Host lookups, passed straight through to WS2_32, which fills the caller's
// buffer with a hostent laid out as the layer's HostEnt; the checks below
// hold that true.
#include <cstddef>

#include "winsys.h"

static_assert(sizeof(plat::HostEnt) == sizeof(hostent), "HostEnt matches hostent");
static_assert(offsetof(plat::HostEnt, h_addrtype) == offsetof(hostent, h_addrtype),
              "h_addrtype at the same place");
static_assert(offsetof(plat::HostEnt, h_length) == offsetof(hostent, h_length),
              "h_length at the same place");
static_assert(offsetof(plat::HostEnt, h_addr_list) == offsetof(hostent, h_addr_list),
              "h_addr_list at the same place");

namespace plat {

using win::sysWindow;

Handle WSAAsyncGetHostByName(Hwnd hwnd, unsigned msg, const char* name,
                             char* buf, int buflen) {
    return reinterpret_cast<Handle>(
        ::WSAAsyncGetHostByName(sysWindow(hwnd), msg, name, buf, buflen));
}

Handle WSAAsyncGetHostByAddr(Hwnd hwnd, unsigned msg, const char* addr,
                             int len, int type, char* buf, int buflen) {
    return reinterpret_cast<Handle>(
        ::WSAAsyncGetHostByAddr(sysWindow(hwnd), msg, addr, len, type, buf, buflen));
}

int WSACancelAsyncRequest(Handle task) {
    return ::WSACancelAsyncRequest(reinterpret_cast<HANDLE>(task));
}

}  // namespace plat
