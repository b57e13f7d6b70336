// The socket event rules, applied by the owner thread's loop:
//   FD_CONNECT once, when a connect completes or fails (error half = why);
//   FD_WRITE once after the connect, then only after a send would block
//     and room has come back;
//   FD_READ while data waits, one at a time: after one is posted the next
//     waits for a recv call;
//   FD_CLOSE once, and only after the data before the close has been
//     offered: when a recv has seen the end (or the reset), or when the
//     socket is readable, FD_READ may be posted, and no byte is waiting.
#include <errno.h>
#include <sys/socket.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

// What the socket waits for; sets *urgent when an event is due at once.
short interest(const SockRec& r, bool* urgent) {
    switch (r.link) {
    case Link::Idle:
    case Link::Failed:
        return 0;
    case Link::Connecting:
        if (r.connectError) {
            *urgent = true;
            return 0;
        }
        return POLLOUT;
    case Link::Connected:
        break;
    }
    short ev = r.writeWanted ? POLLOUT : 0;
    if (r.closePosted) return ev;
    if (r.peerClosed) {
        *urgent = true;
        return ev;
    }
    if (r.readArmed) {
        if (r.events & kFdRead) ev |= POLLIN | POLLRDHUP;
        else if (r.events & kFdClose) ev |= POLLRDHUP;
    }
    return ev;
}

void post(Queue& q, const SockRec& r, long event, int error) {
    if (!(r.events & event)) return;
    Entry e;
    uint32_t word = (static_cast<uint32_t>(error & 0xFFFF) << 16) |
                    static_cast<uint32_t>(event & 0xFFFF);
    e.msg = Msg{reinterpret_cast<Hwnd>(r.hwnd), r.msg, static_cast<WParam>(r.fd),
                static_cast<LParam>(word)};
    q.entries.push_back(std::move(e));
}

int pendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

void closeEvent(Queue& q, SockRec& r, int error) {
    r.closePosted = true;
    if (r.events & kFdClose) {
        post(q, r, kFdClose, error);
    } else if ((r.events & kFdRead) && r.readArmed) {
        // Without FD_CLOSE the end is told as readable: recv gives 0.
        r.readArmed = false;
        post(q, r, kFdRead, 0);
    }
}

void connecting(Queue& q, SockRec& r, short rev) {
    if (r.connectError) {
        post(q, r, kFdConnect, r.connectError);
        r.connectError = 0;
        r.link = Link::Failed;
        return;
    }
    if (!rev || (rev & POLLNVAL)) return;
    int err = pendingError(r.fd);
    if (err == 0 && !(rev & POLLOUT)) err = ENOTCONN;
    if (err != 0) {
        post(q, r, kFdConnect, errorFromErrno(err));
        r.link = Link::Failed;
        return;
    }
    r.link = Link::Connected;
    post(q, r, kFdConnect, 0);
    r.writeWanted = false;
    post(q, r, kFdWrite, 0);
    r.readArmed = true;
}

void connected(Queue& q, SockRec& r, short rev) {
    if (rev & POLLNVAL) return;
    if (r.writeWanted && (rev & (POLLOUT | POLLERR | POLLHUP))) {
        r.writeWanted = false;
        post(q, r, kFdWrite, 0);
    }
    if (r.closePosted) return;
    if (r.peerClosed) {
        closeEvent(q, r, r.closeError);
        return;
    }
    if (!r.readArmed || !(rev & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) return;
    char byte;
    ssize_t n = ::recv(r.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        if (r.events & kFdRead) {
            r.readArmed = false;
            post(q, r, kFdRead, 0);
        } else if (rev & (POLLRDHUP | POLLHUP | POLLERR)) {
            closeEvent(q, r, 0);  // reads are not wanted: only the end is news
        }
    } else if (n == 0) {
        closeEvent(q, r, 0);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (rev & (POLLHUP | POLLERR)) closeEvent(q, r, errorFromErrno(pendingError(r.fd)));
    } else {
        closeEvent(q, r, errorFromErrno(errno));
    }
}

}  // namespace

bool collectInterest(Queue& q, std::vector<pollfd>& fds,
                     std::vector<std::shared_ptr<SockRec>>& recs) {
    bool urgent = false;
    for (const auto& rec : q.sockets) {
        short ev = interest(*rec, &urgent);
        recs.push_back(rec);
        // A socket with nothing to wait for stays out of the set (fd -1), so
        // that a hang-up it cannot act on yet does not keep waking the loop.
        fds.push_back(pollfd{ev ? rec->fd : -1, ev, 0});
    }
    return urgent;
}

void postSocketEvents(Queue& q, const std::vector<pollfd>& fds, size_t first,
                      const std::vector<std::shared_ptr<SockRec>>& recs) {
    for (size_t i = 0; i < recs.size(); ++i) {
        SockRec& r = *recs[i];
        // Closed or moved while the loop slept: its descriptor's readiness
        // may belong to another socket by now.
        if (r.linked.load() != &q) continue;
        short rev = fds[first + i].fd < 0 ? 0 : fds[first + i].revents;
        if (r.link == Link::Connecting) connecting(q, r, rev);
        else if (r.link == Link::Connected) connected(q, r, rev);
    }
}

}  // namespace posix
}  // namespace plat
