// The socket event rules, applied by the owner thread's loop:
//   FD_CONNECT once, when a connect completes or fails (error half = why);
//   FD_WRITE once after the connect, then only after a send would block
//     and room has come back;
//   FD_READ while data waits, one at a time: after one is posted the next
//     waits for a recv call;
//   FD_CLOSE once, and only after the data before the close has been
//     offered: when a recv has seen the end (or the reset), or when the
//     socket is readable, FD_READ may be posted, and no byte is waiting.
// A socket is selected for all four (sockets.cpp), so every rule applies.
// A secure socket follows the same rules with its engine's plaintext in
// place of the socket's bytes: its FD_CONNECT waits for the handshake, its
// FD_READ and FD_CLOSE come from what the engine makes of the bytes it has
// read (raw bytes may hold no plaintext at all), and its encrypted bytes go
// out whenever the socket has room, whatever the caller does meanwhile.
#include <errno.h>
#include <sys/socket.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

constexpr short kReadable = POLLIN | POLLRDHUP | POLLHUP | POLLERR;

// A connected secure socket: encrypted bytes go out whenever they wait, and
// the engine is looked at without waiting when it holds something already
// (unless its own output is stuck: the socket's room comes first).
short secureInterest(const SockRec& r, bool* due) {
    short ev = r.writeWanted || tlsOutPending(r) ? POLLOUT : 0;
    if (r.closePosted) return ev;
    if (r.peerClosed) {
        *due = true;
        return ev;
    }
    if (!r.readArmed) return ev;
    if (tlsBuffered(r)) {
        if (!tlsOutPending(r)) *due = true;
        return ev;
    }
    if (tlsRoomIn(r)) ev |= POLLIN | POLLRDHUP;
    return ev;
}

// What the socket waits for; sets *due when an event is due at once.
short interest(const SockRec& r, bool* due) {
    switch (r.link) {
    case Link::Idle:
    case Link::Blocking:
    case Link::Failed:
        return 0;
    case Link::Connecting:
        if (r.connectError) {
            *due = true;
            return 0;
        }
        return POLLOUT;
    case Link::Handshaking:
        return static_cast<short>((tlsRoomIn(r) ? POLLIN | POLLRDHUP : 0) |
                                  (tlsOutPending(r) ? POLLOUT : 0));
    case Link::Connected:
        break;
    }
    if (r.tls) return secureInterest(r, due);
    short ev = r.writeWanted ? POLLOUT : 0;
    if (r.closePosted) return ev;
    if (r.peerClosed) {
        *due = true;
        return ev;
    }
    if (r.readArmed) ev |= POLLIN | POLLRDHUP;
    return ev;
}

void post(Thread& t, const SockRec& r, long event, int error) {
    uint32_t word = (static_cast<uint32_t>(error & 0xFFFF) << 16) |
                    static_cast<uint32_t>(event & 0xFFFF);
    Entry e;
    e.msg = Msg{windowOf(r.hwnd), r.msg, static_cast<WParam>(r.fd),
                static_cast<LParam>(word)};
    t.queue.push_back(std::move(e));
}

int pendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

void closeEvent(Thread& t, SockRec& r, int error) {
    r.closePosted = true;
    post(t, r, kFdClose, error);
}

// The connection stands (for a secure socket: with its handshake done).
void connectedNow(Thread& t, SockRec& r) {
    r.link = Link::Connected;
    post(t, r, kFdConnect, 0);
    r.writeWanted = false;
    post(t, r, kFdWrite, 0);
    r.readArmed = true;
}

void handshaking(Thread& t, SockRec& r, short rev) {
    if (rev & POLLNVAL) return;
    int error = 0;
    switch (tlsHandshake(r, (rev & kReadable) != 0, &error)) {
    case TlsStep::Pending:
        return;
    case TlsStep::Failed:
        post(t, r, kFdConnect, error);
        r.link = Link::Failed;
        return;
    case TlsStep::Done:
        connectedNow(t, r);
        return;
    }
}

void connecting(Thread& t, SockRec& r, short rev) {
    if (r.connectError) {
        post(t, r, kFdConnect, r.connectError);
        r.connectError = 0;
        r.link = Link::Failed;
        return;
    }
    if (!rev || (rev & POLLNVAL)) return;
    // Writable with no error or hang-up is connected: the pending error is
    // asked for only when there may be one.
    bool clean = (rev & POLLOUT) && !(rev & (POLLERR | POLLHUP));
    int err = clean ? 0 : pendingError(r.fd);
    if (err == 0 && !(rev & POLLOUT)) err = ENOTCONN;
    if (err != 0) {
        post(t, r, kFdConnect, errorFromErrno(err));
        r.link = Link::Failed;
        return;
    }
    if (r.tls) {
        // TCP stands; the handshake starts at once with the first flight.
        r.link = Link::Handshaking;
        handshaking(t, r, 0);
        return;
    }
    connectedNow(t, r);
}

void secureConnected(Thread& t, SockRec& r, short rev) {
    if (rev & POLLNVAL) return;
    if (rev & (POLLOUT | POLLERR | POLLHUP)) tlsFlush(r);
    if (r.writeWanted && tlsCanSend(r)) {
        r.writeWanted = false;
        post(t, r, kFdWrite, 0);
    }
    if (r.closePosted) return;
    if (r.peerClosed) {
        closeEvent(t, r, r.closeError);
        return;
    }
    if (!r.readArmed) return;
    bool readable = (rev & kReadable) != 0;
    if (!readable && !tlsBuffered(r)) return;
    int error = 0;
    switch (tlsProbe(r, readable, &error)) {
    case TlsProbe::Plaintext:
        r.readArmed = false;
        post(t, r, kFdRead, 0);
        break;
    case TlsProbe::Closed:
        closeEvent(t, r, 0);
        break;
    case TlsProbe::Failed:
        closeEvent(t, r, error);
        break;
    case TlsProbe::Nothing:
        break;
    }
}

void connected(Thread& t, SockRec& r, short rev) {
    if (rev & POLLNVAL) return;
    if (r.writeWanted && (rev & (POLLOUT | POLLERR | POLLHUP))) {
        r.writeWanted = false;
        post(t, r, kFdWrite, 0);
    }
    if (r.closePosted) return;
    if (r.peerClosed) {
        closeEvent(t, r, r.closeError);
        return;
    }
    if (!r.readArmed || !(rev & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) return;
    char byte;
    ssize_t n = ::recv(r.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        r.readArmed = false;
        post(t, r, kFdRead, 0);
    } else if (n == 0) {
        closeEvent(t, r, 0);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (rev & (POLLHUP | POLLERR)) closeEvent(t, r, errorFromErrno(pendingError(r.fd)));
    } else {
        closeEvent(t, r, errorFromErrno(errno));
    }
}

}  // namespace

bool socketInterest(Thread& t, std::vector<pollfd>& fds, std::vector<int>& socks) {
    bool due = false;
    for (const auto& s : t.sockets) {
        const SockRec& rec = s.second;
        if (!rec.hwnd) continue;
        short ev = interest(rec, &due);
        // A socket with nothing to wait for stays out of the set (fd -1), so
        // that a hang-up it cannot act on yet does not keep waking the loop.
        fds.push_back(pollfd{ev ? rec.fd : -1, ev, 0});
        socks.push_back(rec.fd);
    }
    return due;
}

void postSocketEvents(Thread& t, const std::vector<pollfd>& fds, size_t first,
                      const std::vector<int>& socks) {
    for (size_t i = 0; i < socks.size(); ++i) {
        SockRec* r = findSocket(t, socks[i]);
        if (!r || !r->hwnd) continue;
        short rev = fds[first + i].fd < 0 ? 0 : fds[first + i].revents;
        if (r->link == Link::Connecting) connecting(t, *r, rev);
        else if (r->link == Link::Handshaking) handshaking(t, *r, rev);
        else if (r->link == Link::Connected && r->tls) secureConnected(t, *r, rev);
        else if (r->link == Link::Connected) connected(t, *r, rev);
    }
}

}  // namespace posix
}  // namespace plat
