// The record behind a secure socket on Windows, shared by tls.cpp (making
// and ending it, its helper window), tls_io.cpp (moving its bytes) and
// tls_check.cpp (the certificate check). Private to src/platform/win.
#pragma once

#include "winsys.h"

#include <ws2tcpip.h>

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <wincrypt.h>
#include <schannel.h>

namespace plat {
namespace win {

// Ciphertext from the socket: room for a whole handshake flight (the
// server's certificates) and for several records. Ciphertext to the socket:
// handshake tokens, then records, each encrypted only when it fits whole.
constexpr size_t kTlsIn = 64 * 1024;
constexpr size_t kTlsOut = 64 * 1024;
// The socket's own events, as WSAAsyncSelect posts them to the helper.
constexpr UINT kTlsSocketMsg = WM_USER + 1;

enum class Phase {
    Idle,         // made secure; not connected yet
    Connecting,   // TCP connect under way
    Handshaking,  // TCP stands; the handshake runs
    Open,         // handshake done and certificate accepted
    Failed,       // the connect or the handshake failed, and the core was told
};

struct TlsLink {
    TlsLink* next = nullptr;  // the thread's next secure socket
    SOCKET s = INVALID_SOCKET;
    int flags = 0;            // kSecureNoVerify ...
    char* host = nullptr;     // owned: the name sent and checked, or an address
    bool address = false;     // host is an address literal: no name is sent

    HWND helper = nullptr;      // child of the call's window: the socket's events
    HWND callWindow = nullptr;  // where the core's events go
    UINT callMsg = 0;           // ... with this message

    CredHandle cred{};
    bool haveCred = false;
    CtxtHandle ctx{};
    bool haveCtx = false;
    SecPkgContext_StreamSizes sizes{};
    Phase phase = Phase::Idle;
    bool again = false;  // a handshake the peer asked for once Open: no events of its own

    // Ciphertext received: [0, inStart) is decrypted (the plaintext waiting
    // lies in it), [inStart, inLen) is still to be decrypted.
    char* in = nullptr;
    size_t inLen = 0;
    size_t inStart = 0;
    char* plain = nullptr;  // plaintext not yet taken by recv, inside in
    size_t plainLen = 0;
    // Ciphertext to send: [outSent, outLen) waits for the socket.
    char* out = nullptr;
    size_t outLen = 0;
    size_t outSent = 0;

    bool rawEnd = false;       // the socket has ended (recv gave 0 or failed)
    int rawError = 0;          // ... with this error (a reset ...), 0 for an end
    bool closeNotice = false;  // the peer's close_notify has been read
    int failure = 0;           // why the link stopped; 0 while it works

    bool readArmed = false;    // an FD_READ may be posted to the core
    bool writeWanted = false;  // a send would have blocked: FD_WRITE when room comes
    bool closePosted = false;  // FD_CLOSE went to the core
};

// ---- tls.cpp ----
TlsLink* secureLink(SOCKET s);  // the calling thread's secure socket s, or null
// WSAAsyncSelect of a secure socket: its events go to a new helper window.
int tlsSelect(TlsLink& link, HWND window, UINT msg, long events);
// connect of a secure socket, after the system's connect gave result.
int tlsConnect(TlsLink& link, int result);
// closesocket of a secure socket, before the system's: our closing notice
// if it can go, then the helper and the link are gone.
void tlsClose(TlsLink& link);
// An event to the core's window, as the system would post it.
void tlsPost(TlsLink& link, long event, int error);
int tlsFail(int error);  // sets the error, gives SOCKET_ERROR

// ---- tls_io.cpp ----
// The socket's own event, taken by the helper.
void tlsSocketEvent(TlsLink& link, int event, int error);
int tlsSend(TlsLink& link, const char* buf, int len);
int tlsRecv(TlsLink& link, char* buf, int len);
void tlsSendNotice(TlsLink& link);  // our close_notify, as far as it goes at once

// ---- tls_check.cpp ----
// The address an address literal names (IPv4 or IPv6), in network order,
// *len bytes; false for a host name.
bool tlsAddressBytes(const char* host, unsigned char bytes[16], DWORD* len);
// 0 when the server's certificate leads to a trusted root, is within its
// dates and names link's host; kErrCertRejected otherwise.
int tlsCheckCertificate(TlsLink& link);

}  // namespace win
}  // namespace plat
