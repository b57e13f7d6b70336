// The shared numbers (platform/numbers.h) are the system's own: the core
// compares what the system hands it with them, and the fake platform and the
// POSIX backend are written to them. One check per constant, in the order
// of numbers.h; a constant added there is added here (the error numbers of
// socket_errors.def are checked row by row).
#include "winsys.h"

namespace plat {

// ---- handles and addresses ----
static_assert(kInvalidSocket == static_cast<intptr_t>(INVALID_SOCKET), "INVALID_SOCKET");
static_assert(kSocketError == SOCKET_ERROR, "SOCKET_ERROR");
static_assert(kAfInet == AF_INET, "AF_INET");
static_assert(kAfInet6 == AF_INET6, "AF_INET6");
static_assert(kSockStream == SOCK_STREAM, "SOCK_STREAM");
static_assert(kIpprotoTcp == IPPROTO_TCP, "IPPROTO_TCP");

// ---- window messages ----
static_assert(kWmQuit == WM_QUIT, "WM_QUIT");
static_assert(kWmTimer == WM_TIMER, "WM_TIMER");
static_assert(kWmUser == WM_USER, "WM_USER");
static_assert(kSwHide == SW_HIDE, "SW_HIDE");
static_assert(kSwShow == SW_SHOW, "SW_SHOW");
static_assert(kMbIconError == MB_ICONERROR, "MB_ICONERROR");

// ---- socket events ----
static_assert(kFdRead == FD_READ, "FD_READ");
static_assert(kFdWrite == FD_WRITE, "FD_WRITE");
static_assert(kFdConnect == FD_CONNECT, "FD_CONNECT");
static_assert(kFdClose == FD_CLOSE, "FD_CLOSE");

// ---- Windows Sockets error numbers: every row of socket_errors.def ----
#define QUODRA_SOCKET_ERROR(number, Name, NAME, wsaName, errnoName, meaning) \
    static_assert(kErr##Name == wsaName, #wsaName);
#define QUODRA_SOCKET_ERROR_UNLISTED(number, Name, wsaName, errnoName, meaning) \
    static_assert(kErr##Name == wsaName, #wsaName);
#include "platform/socket_errors.def"

// ---- secure sockets: numbers of our own, between the system's two ranges
// of socket errors, and small enough for the error half of an event ----
static_assert(kErrSecureFailed > WSAEREFUSED && kErrSecureTruncated < WSAHOST_NOT_FOUND,
              "secure socket errors clear of the system's");
static_assert(kErrSecureFailed < kErrCertRejected && kErrCertRejected < kErrSecureTruncated,
              "secure socket errors in one run");
static_assert(kErrSecureTruncated <= 0xFFFF, "fits WSAMAKESELECTREPLY");

}  // namespace plat
