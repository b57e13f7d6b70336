// TCP sockets over the system's own, with the Windows Sockets calling
// conventions: a handle per socket (the descriptor), kSocketError and a
// per-thread error number on failure, and event selection to a window. The
// event rules themselves are in events.cpp; this file records what send,
// recv and connect learn so that the owner's loop can post the right events.
//
// A socket is served as the library uses it: made, selected to a window of
// the same thread for all four events, connected once, then sent and
// received on, all by the thread that made it. Until it is selected it is a
// plain blocking socket, as on Windows; the backend's tests use that for
// exchanges outside the event rules.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>


#include "platform/system_address.h"
#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

constexpr long kAllEvents = kFdRead | kFdWrite | kFdConnect | kFdClose;

// Failures that are the outcome of a connection attempt rather than a
// misuse of the call: reported through FD_CONNECT, as a pending connect's
// outcome always is.
bool connectOutcome(int e) {
    return e == ECONNREFUSED || e == ETIMEDOUT || e == ENETUNREACH ||
           e == EHOSTUNREACH || e == ECONNRESET;
}

// Failures after which the connection is gone: the peer will send nothing
// more, so the close is due.
bool connectionLost(int e) {
    return e == ECONNRESET || e == ECONNABORTED || e == ETIMEDOUT ||
           e == ENETRESET || e == EHOSTUNREACH || e == ENETUNREACH;
}

// The socket of a send or recv of len bytes at buf, or null with the error
// set when the handle is unknown or the arguments are unusable. No flags:
// the library sends and receives plainly.
SockRec* transferTarget(Socket s, const void* buf, int len, int flags) {
    SockRec* rec = ownSocket(s);
    if (!rec) {
        setLastError(kErrNotSocket);
        return nullptr;
    }
    if (len < 0 || (!buf && len > 0) || flags != 0) {
        setLastError(kErrInvalid);
        return nullptr;
    }
    return rec;
}

Socket noSocket(int wsa) {
    setLastError(wsa);
    return kInvalidSocket;
}

}  // namespace

SockRec* ownSocket(Socket s) {
    Thread* t = thisThread();
    return t ? findSocket(*t, s) : nullptr;
}

int afterSend(SockRec& rec, ssize_t n) {
    if (n >= 0) return static_cast<int>(n);
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) rec.writeWanted = true;
    return fail(errorFromErrno(e));
}

int afterRecv(SockRec& rec, ssize_t n, int len) {
    int e = n < 0 ? errno : 0;
    if (n == 0 && len > 0) {
        rec.closeError = 0;
        rec.peerClosed = true;
    } else if (n < 0 && connectionLost(e)) {
        rec.closeError = errorFromErrno(e);
        rec.peerClosed = true;
    }
    // Every receive lets the next FD_READ through.
    rec.readArmed = true;
    if (n < 0) return fail(errorFromErrno(e));
    return static_cast<int>(n);
}

bool isSocketErrno(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EPIPE || e == ENOTCONN ||
           e == ENETDOWN || connectionLost(e);
}

}  // namespace posix

using namespace posix;

int WSAGetLastError() { return lastError(); }

Socket socket(int af, int type, int protocol) {
    if (af != kAfInet && af != kAfInet6) return noSocket(kErrAfNoSupport);
    if (type != kSockStream) return noSocket(kErrSockTypeNoSupport);
    if (protocol != 0 && protocol != kIpprotoTcp) return noSocket(kErrProtoNoSupport);
    Thread* t = thisThread();
    if (!t) return noSocket(kErrNoBufs);
    int fd = ::socket(af == kAfInet ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC,
                      IPPROTO_TCP);
    if (fd < 0) return noSocket(errorFromErrno(errno));
    // Requests go out in a few sends; none may wait for the peer's delayed
    // acknowledgement of the one before. A system that refuses the option
    // still carries the bytes, only later.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SockRec& rec = t->sockets[fd];
    rec = SockRec{};
    rec.fd = fd;
    return fd;
}

int connect(Socket s, const SockAddr* addr, int len) {
    SockRec* rec = ownSocket(s);
    if (!rec) return fail(kErrNotSocket);
    if (!addr || len < static_cast<int>(sizeof(SockAddr))) return fail(kErrFault);
    sockaddr_storage sa;
    socklen_t salen = static_cast<socklen_t>(toSystemAddress(*addr, &sa));
    if (!salen) return fail(kErrAfNoSupport);
    // One connect per socket: the library never tries again on the same one;
    // it makes a new socket for the next address. A secure socket is
    // selected first: its handshake runs on events.
    if (rec->link != Link::Idle || (rec->tls && !rec->hwnd)) return fail(kErrInvalid);
    int r = ::connect(rec->fd, reinterpret_cast<const sockaddr*>(&sa), salen);
    int e = r == 0 ? 0 : errno;
    if (!rec->hwnd) {
        rec->link = Link::Blocking;
        return r == 0 ? 0 : fail(errorFromErrno(e));
    }
    if (r == 0 || e == EINPROGRESS || connectOutcome(e)) {
        rec->link = Link::Connecting;
        rec->connectError = r == 0 || e == EINPROGRESS ? 0 : errorFromErrno(e);
        // A secure socket is not connected before its handshake is done.
        return r == 0 && !rec->tls ? 0 : fail(kErrWouldBlock);
    }
    return fail(errorFromErrno(e));
}

int send(Socket s, const char* buf, int len, int flags) {
    SockRec* rec = transferTarget(s, buf, len, flags);
    if (!rec) return kSocketError;
    if (rec->tls) {
        int error = 0;
        int n = secureSend(*rec->tls, buf, len, &error);
        if (n < 0) return fail(error);
        return n;
    }
    ssize_t n;
    do {
        n = ::send(rec->fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return afterSend(*rec, n);
}

int recv(Socket s, char* buf, int len, int flags) {
    SockRec* rec = transferTarget(s, buf, len, flags);
    if (!rec) return kSocketError;
    if (rec->tls) {
        int error = 0;
        int n = secureRecv(*rec->tls, buf, len, &error);
        if (n < 0) return fail(error);
        return n;
    }
    ssize_t n;
    do {
        n = ::recv(rec->fd, buf, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    return afterRecv(*rec, n, len);
}

int closesocket(Socket s) {
    Thread* t = thisThread();
    SockRec* rec = t ? findSocket(*t, s) : nullptr;
    if (!rec) return fail(kErrNotSocket);
    if (rec->tls) secureClose(*rec->tls);
    int fd = rec->fd;
    closeBulk(*rec);
    // Closed only once it is out of the table: the number may be handed out
    // again at once.
    t->sockets.erase(fd);
    ::close(fd);
    return 0;
}

// Before its connect, to a window of the calling thread, for all four
// events: how the library selects. A connected socket may then be parked
// (no window, no events: its exchange has ended and kept it) and selected
// again to the next exchange's window, which is told of bytes that wait but
// not of room to send: the core sends at once. Anything else is refused
// rather than half served.
int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events) {
    Thread* t = thisThread();
    SockRec* rec = t ? findSocket(*t, s) : nullptr;
    if (!rec) return fail(kErrNotSocket);
    uintptr_t h = handleOf(hwnd);
    if (rec->link == Link::Connected) {
        if (events == 0) {
            rec->hwnd = 0;
            return 0;
        }
        if (rec->hwnd || events != kAllEvents || !findWindow(*t, h)) return fail(kErrInvalid);
        rec->hwnd = h;
        rec->msg = msg;
        rec->writeWanted = false;
        rec->readArmed = true;
        if (rec->tls) secureReselected(*rec->tls);
        return 0;
    }
    if (rec->hwnd || rec->link != Link::Idle || events != kAllEvents || !findWindow(*t, h))
        return fail(kErrInvalid);
    int on = 1;  // one call rather than reading the flags and writing them back
    if (::ioctl(rec->fd, FIONBIO, &on) < 0) return fail(errorFromErrno(errno));
    rec->hwnd = h;
    rec->msg = msg;
    return 0;
}

int socketIdleOpen(Socket s) {
    SockRec* rec = ownSocket(s);
    if (!rec || rec->link != Link::Connected || rec->peerClosed || rec->closePosted) return 0;
    if (rec->tls && !secureIdleOpen(*rec->tls)) return 0;
    char byte;
    ssize_t n = ::recv(rec->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    // A plain connection between exchanges has nothing to say; a secure
    // one may (a session ticket), which its link reads in time.
    if (n > 0) return rec->tls ? 1 : 0;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 1 : 0;
}

}  // namespace plat
