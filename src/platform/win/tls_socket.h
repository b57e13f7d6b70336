// A secure socket on Windows: the shared secure link (../secure_link.h) over
// the socket, with an SChannel engine, and a hidden helper window that takes
// the socket's own events. Shared by tls.cpp (the record, its helper, the
// calls), schannel_engine.cpp (the engine) and tls_check.cpp (the
// certificate check), and sockets.cpp, which hands them the socket calls.
// Private to src/platform/win.
#pragma once

#include "winsys.h"

#include <ws2tcpip.h>

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <wincrypt.h>
#include <schannel.h>

#include "platform/secure_link.h"

namespace plat {
namespace win {

// SChannel's part of a link: the engine's record.
struct Schannel {
    int flags = 0;             // kSecureNoVerify ...
    char* host = nullptr;      // owned: the name sent and checked, or an address
    SockAddr address{};        // family 0: host is a name; else the address it is
    CredHandle cred{};
    bool haveCred = false;
    CtxtHandle ctx{};
    bool haveCtx = false;
    SecPkgContext_StreamSizes sizes{};
    bool tls13 = false;        // TLS 1.3 was agreed: it has no renegotiation
    bool afterHandshake = false;  // TLS 1.3 messages after the handshake are being read
    // The plaintext decrypted and not yet taken, in place in the link's input.
    char* plain = nullptr;
    size_t plainLen = 0;
};

// The record of a secure socket of this thread.
struct TlsSocket {
    TlsSocket* next = nullptr;  // the thread's next secure socket
    SOCKET s = INVALID_SOCKET;
    HWND helper = nullptr;      // child of the call's window: the socket's events
    HWND callWindow = nullptr;  // where the core's events go
    UINT callMsg = 0;           // ... with this message
    bool wakePending = false;   // a message to run the link waits in the helper's queue
    SecureLink* link = nullptr;
};

// ---- tls.cpp ----
TlsSocket* secureSocketOf(SOCKET s);  // the calling thread's secure socket s, or null
// WSAAsyncSelect of a secure socket: its events go to a new helper window.
int tlsSelect(TlsSocket& ts, HWND window, UINT msg, long events);
// connect of a secure socket, after the system's connect gave result.
int tlsConnect(TlsSocket& ts, int result);
int tlsSend(TlsSocket& ts, const char* buf, int len);
int tlsRecv(TlsSocket& ts, char* buf, int len);
// closesocket of a secure socket, before the system's: our closing notice
// if it can go, then the helper and the record are gone.
void tlsClose(TlsSocket& ts);
int tlsFail(int error);  // sets the error, gives SOCKET_ERROR
// A plain socket's selection, kept for startSecure, which turns it secure
// with its events going on to the same window; forgotten at closesocket.
void noteSelection(SOCKET s, HWND window, UINT msg);
void forgetSelection(SOCKET s);

// ---- schannel_engine.cpp ----
// Gives link an SChannel engine for host: 0, or WSAENOBUFS, or
// kErrSecureFailed when the system has no credentials for TLS 1.2.
int attachSchannel(SecureLink& link, const char* host, int flags);

// ---- tls_check.cpp ----
// 0 when the server's certificate leads to a trusted root, is within its
// dates and names the engine's host; kErrCertRejected otherwise, with why
// in reason.
int tlsCheckCertificate(const Schannel& engine, char* reason, size_t size);

}  // namespace win
}  // namespace plat
