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
// A secure socket follows the same rules with its link's plaintext in place
// of the socket's bytes; its link (../secure_link.cpp) decides its events
// once TCP stands, and this loop only tells it when the socket is ready and
// asks it what to wait for.
#include <errno.h>
#include <sys/socket.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

constexpr short kReadable = POLLIN | POLLRDHUP | POLLHUP | POLLERR;

// A connected secure socket waits for what its link wants, and is run
// without waiting when the link has something to tell.
short secureInterest(const SockRec& r, bool* due) {
    const SecureLink& link = *r.tls;
    if (secureDue(link)) *due = true;
    return static_cast<short>((secureWantsRead(link) ? POLLIN | POLLRDHUP : 0) |
                              (secureWantsWrite(link) ? POLLOUT : 0));
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

int pendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

void closeEvent(Thread& t, SockRec& r, int error) {
    r.closePosted = true;
    postEvent(t, r, kFdClose, error);
}

// A plain socket's connection stands.
void connectedNow(Thread& t, SockRec& r) {
    r.link = Link::Connected;
    postEvent(t, r, kFdConnect, 0);
    r.writeWanted = false;
    postEvent(t, r, kFdWrite, 0);
    r.readArmed = true;
}

// TCP's outcome: a secure socket's link takes it, and tells the core of it
// once its handshake is done.
void tcpOutcome(Thread& t, SockRec& r, int error) {
    r.link = error ? Link::Failed : Link::Connected;
    if (r.tls) secureConnected(*r.tls, error);
    else if (error) postEvent(t, r, kFdConnect, error);
    else connectedNow(t, r);
}

void connecting(Thread& t, SockRec& r, short rev) {
    if (r.connectError) {
        int error = r.connectError;
        r.connectError = 0;
        tcpOutcome(t, r, error);
        return;
    }
    if (!rev || (rev & POLLNVAL)) return;
    // Writable with no error or hang-up is connected: the pending error is
    // asked for only when there may be one.
    bool clean = (rev & POLLOUT) && !(rev & (POLLERR | POLLHUP));
    int err = clean ? 0 : pendingError(r.fd);
    if (err == 0 && !(rev & POLLOUT)) err = ENOTCONN;
    tcpOutcome(t, r, errorFromErrno(err));
}

void secureReady(SockRec& r, short rev) {
    if (rev & POLLNVAL) return;
    // A hang-up or an error is news for both halves: the link's reads and
    // writes meet it.
    bool broken = (rev & (POLLERR | POLLHUP)) != 0;
    secureRun(*r.tls, (rev & kReadable) != 0, (rev & POLLOUT) != 0 || broken);
}

void connected(Thread& t, SockRec& r, short rev) {
    if (rev & POLLNVAL) return;
    if (r.writeWanted && (rev & (POLLOUT | POLLERR | POLLHUP))) {
        r.writeWanted = false;
        postEvent(t, r, kFdWrite, 0);
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
        postEvent(t, r, kFdRead, 0);
    } else if (n == 0) {
        closeEvent(t, r, 0);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (rev & (POLLHUP | POLLERR)) closeEvent(t, r, errorFromErrno(pendingError(r.fd)));
    } else {
        closeEvent(t, r, errorFromErrno(errno));
    }
}

}  // namespace

void postEvent(Thread& t, const SockRec& r, long event, int error) {
    uint32_t word = (static_cast<uint32_t>(error & 0xFFFF) << 16) |
                    static_cast<uint32_t>(event & 0xFFFF);
    Entry e;
    e.msg = Msg{windowOf(r.hwnd), r.msg, static_cast<WParam>(r.fd),
                static_cast<LParam>(word)};
    t.queue.push_back(std::move(e));
}

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
        else if (r->link == Link::Connected && r->tls) {
            if (rev || secureDue(*r->tls)) secureReady(*r, rev);
        } else if (r->link == Link::Connected) connected(t, *r, rev);
    }
}

}  // namespace posix
}  // namespace plat
