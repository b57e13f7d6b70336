// Message numbers, event bits and Windows Sockets error numbers, as the core
// sees them. Backends do not include this file: the system headers they use
// define many of these names as macros.
#pragma once

#include "platform.h"

namespace plat {

constexpr Socket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr uint32_t INADDR_NONE = 0xFFFFFFFFu;

constexpr unsigned WM_QUIT = 0x12;
constexpr unsigned WM_TIMER = 0x113;
constexpr unsigned WM_USER = 0x400;

constexpr long FD_READ = 1;
constexpr long FD_WRITE = 2;
constexpr long FD_CONNECT = 16;
constexpr long FD_CLOSE = 32;

constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;

constexpr unsigned MB_ICONERROR = 16;

// Windows Sockets error numbers the core and the backends name.
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

}  // namespace plat
