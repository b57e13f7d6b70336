// The numbers the core and the platform agree on: message ids, socket event
// bits and the Windows Sockets error numbers (from socket_errors.def), in one
// place for the core, both backends, the fake platform and the tests.
//
// The names are spelled so that no system header can define them as macros
// (windows.h and glibc define WM_QUIT, FD_READ, AF_INET, INVALID_SOCKET ...),
// so every backend can include this header beside its system headers. The
// Windows backend checks each value against the system's own.
#pragma once

#include <cstdint>

namespace plat {

// ---- handles and addresses ----
constexpr intptr_t kInvalidSocket = -1;  // socket() failed / no socket
constexpr int kSocketError = -1;         // failure return of a socket call
constexpr int kNotServed = -2;    // sendFile, recvFile: not this way; do it in steps
constexpr int kFileFailed = -3;   // recvFile: the file refused bytes received

constexpr int kAfInet = 2;       // IPv4 address family
constexpr int kAfInet6 = 23;     // IPv6 address family (the Windows number)
constexpr int kSockStream = 1;   // stream socket
constexpr int kIpprotoTcp = 6;   // TCP

// ---- window messages ----
constexpr unsigned kWmQuit = 0x12;    // ends a message loop
constexpr unsigned kWmTimer = 0x113;  // a window timer is due
constexpr unsigned kWmUser = 0x400;   // first message number of our own

constexpr int kSwHide = 0;        // ShowWindow: hide
constexpr int kSwShow = 5;        // ShowWindow: show
constexpr unsigned kMbIconError = 16;  // message box: error icon, OK button

// ---- socket events (low half of a socket event message's lParam) ----
constexpr long kFdRead = 1;
constexpr long kFdWrite = 2;
constexpr long kFdConnect = 16;
constexpr long kFdClose = 32;

// ---- Windows Sockets error numbers: kErrWouldBlock, kErrConnReset ... ----
// One constant per row of socket_errors.def, which says what each means.
#define QUODRA_SOCKET_ERROR(number, Name, NAME, wsaName, errnoName, meaning) \
    constexpr int kErr##Name = number;
#define QUODRA_SOCKET_ERROR_UNLISTED(number, Name, wsaName, errnoName, meaning) \
    constexpr int kErr##Name = number;
#include "platform/socket_errors.def"

// ---- secure sockets (secureSocket) ----
// Flags of secureSocket.
constexpr int kSecureNoVerify = 1;  // accept any certificate: unsafe, on purpose only
// Failures of a secure socket: numbers of our own, in a range Windows Sockets
// leaves unused, so that they fit the error half of an event and never read
// as one of its errors.
constexpr int kErrSecureFailed = 10901;     // handshake or protocol failure
constexpr int kErrCertRejected = 10902;     // certificate untrusted, expired or for another host
constexpr int kErrSecureTruncated = 10903;  // the connection ended without the peer's closing notice

}  // namespace plat
