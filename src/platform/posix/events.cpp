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
#include <errno.h>
#include <sys/socket.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

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
    r.link = Link::Connected;
    post(t, r, kFdConnect, 0);
    r.writeWanted = false;
    post(t, r, kFdWrite, 0);
    r.readArmed = true;
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
        else if (r->link == Link::Connected) connected(t, *r, rev);
    }
}

}  // namespace posix
}  // namespace plat
