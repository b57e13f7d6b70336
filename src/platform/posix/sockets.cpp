// TCP sockets over the system's own, with the Windows Sockets calling
// conventions: a handle per socket (the descriptor), -1 and a per-thread
// error number on failure, and event selection to a window. The event rules
// themselves are in events.cpp; this file records what send, recv and
// connect learn so that the owner's loop can post the right events.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

struct Found {
    std::shared_ptr<SockRec> rec;
    std::shared_ptr<Queue> owner;  // as selected at the time of the call
};

// One short shared hold per call: the socket and the queue to wake.
Found findSocket(Socket s) {
    Global& g = global();
    std::shared_lock<std::shared_mutex> hold(g.lock);
    auto it = g.sockets.find(static_cast<int>(s));
    if (s < 0 || it == g.sockets.end()) return Found{};
    return Found{it->second, it->second->owner};
}

// Wakes the loop that watches the socket when that loop runs on another
// thread; on its own thread the loop looks again before it sleeps. A
// selection made meanwhile wakes its new owner itself.
void nudge(const Found& f) {
    if (f.owner && f.owner->thread != std::this_thread::get_id()) wake(*f.owner);
}

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

int fail(int wsa) {
    setLastError(wsa);
    return -1;
}

// The socket of a send or recv of len bytes at buf, or null with the error
// set when the handle is unknown or the arguments are unusable.
SockRec* transferTarget(const Found& f, const void* buf, int len) {
    if (!f.rec) {
        setLastError(kErrNotSocket);
        return nullptr;
    }
    if (len < 0 || (!buf && len > 0)) {
        setLastError(kErrInvalid);
        return nullptr;
    }
    return f.rec.get();
}

}  // namespace

void unlinkSocket(SockRec& rec) {
    Queue* q = rec.linked.load();
    if (q) {
        std::lock_guard<std::mutex> hold(q->mu);
        auto& list = q->sockets;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::shared_ptr<SockRec>& r) { return r.get() == &rec; }),
                   list.end());
        rec.linked = nullptr;
        if (Window* w = findWindow(global(), rec.hwnd)) {
            w->doneSent += rec.sent - rec.baseSent;
            w->doneReceived += rec.received - rec.baseReceived;
        }
        rec.hwnd = 0;
        rec.msg = 0;
        rec.events = 0;
    }
    rec.owner.reset();  // after the queue's lock is released: may free it
}

void windowTotals(uintptr_t hwnd, uint64_t* sent, uint64_t* received) {
    *sent = 0;
    *received = 0;
    Window* w = findWindow(global(), hwnd);
    if (!w) return;
    *sent = w->doneSent;
    *received = w->doneReceived;
    for (const auto& rec : w->queue->sockets) {
        if (rec->hwnd != hwnd) continue;
        *sent += rec->sent - rec->baseSent;
        *received += rec->received - rec->baseReceived;
    }
}

}  // namespace posix

using namespace posix;

Socket socket(int af, int type, int protocol) {
    if (af != 2) return fail(kErrAfNoSupport);
    if (type != 1) return fail(kErrSockTypeNoSupport);
    if (protocol != 0 && protocol != 6) return fail(kErrProtoNoSupport);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return fail(errorFromErrno(errno));
    auto rec = std::make_shared<SockRec>();
    rec->fd = fd;
    Global& g = global();
    std::unique_lock<std::shared_mutex> hold(g.lock);
    g.sockets[fd] = rec;
    return fd;
}

int connect(Socket s, const SockAddrIn* addr, int len) {
    Found f = findSocket(s);
    SockRec* rec = f.rec.get();
    if (!rec) return fail(kErrNotSocket);
    if (!addr || len < static_cast<int>(sizeof(SockAddrIn))) return fail(10014);
    if (addr->sin_family != 2) return fail(kErrAfNoSupport);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = addr->sin_port;
    sa.sin_addr.s_addr = addr->sin_addr;
    int r = ::connect(rec->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    int e = r == 0 ? 0 : errno;
    bool watched = false;
    {
        Global& g = global();
        std::shared_lock<std::shared_mutex> hold(g.lock);
        Queue* q = rec->linked.load();
        f.owner = rec->owner;
        if (q && (r == 0 || e == EINPROGRESS || connectOutcome(e))) {
            std::lock_guard<std::mutex> qhold(q->mu);
            rec->link = Link::Connecting;
            rec->connectError = r == 0 || e == EINPROGRESS ? 0 : errorFromErrno(e);
            rec->closePosted = false;
            watched = true;
        }
    }
    if (watched) nudge(f);
    if (r == 0) return 0;
    if (e == EINPROGRESS || (watched && connectOutcome(e))) return fail(kErrWouldBlock);
    return fail(errorFromErrno(e));
}

int send(Socket s, const char* buf, int len, int flags) {
    Found f = findSocket(s);
    SockRec* rec = transferTarget(f, buf, len);
    if (!rec) return -1;
    ssize_t n;
    do {
        n = ::send(rec->fd, buf, static_cast<size_t>(len), (flags & 7) | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        rec->sent += static_cast<uint64_t>(n);
        return static_cast<int>(n);
    }
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) {
        rec->writeWanted = true;
        nudge(f);
    }
    return fail(errorFromErrno(e));
}

int recv(Socket s, char* buf, int len, int flags) {
    Found f = findSocket(s);
    SockRec* rec = transferTarget(f, buf, len);
    if (!rec) return -1;
    ssize_t n;
    do {
        n = ::recv(rec->fd, buf, static_cast<size_t>(len), flags & 7);
    } while (n < 0 && errno == EINTR);
    int e = n < 0 ? errno : 0;
    if (n > 0) {
        rec->received += static_cast<uint64_t>(n);
    } else if (n == 0 && len > 0) {
        rec->closeError = 0;
        rec->peerClosed = true;
    } else if (n < 0 && connectionLost(e)) {
        rec->closeError = errorFromErrno(e);
        rec->peerClosed = true;
    }
    // Every recv lets the next FD_READ through.
    rec->readArmed = true;
    nudge(f);
    if (n < 0) return fail(errorFromErrno(e));
    return static_cast<int>(n);
}

int closesocket(Socket s) {
    std::shared_ptr<SockRec> rec;
    {
        Global& g = global();
        std::unique_lock<std::shared_mutex> hold(g.lock);
        auto it = g.sockets.find(static_cast<int>(s));
        if (s < 0 || it == g.sockets.end()) return fail(kErrNotSocket);
        rec = it->second;
        unlinkSocket(*rec);
        g.sockets.erase(it);
    }
    // Closed only once it is out of the table: the number cannot be handed
    // out again while the table still maps it.
    ::close(rec->fd);
    return 0;
}

int WSAAsyncSelect(Socket s, Hwnd hwnd, unsigned msg, long events) {
    std::shared_ptr<Queue> target;
    {
        Global& g = global();
        std::unique_lock<std::shared_mutex> hold(g.lock);
        auto it = g.sockets.find(static_cast<int>(s));
        if (s < 0 || it == g.sockets.end()) return fail(kErrNotSocket);
        SockRec& rec = *it->second;
        uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
        Window* w = h ? findWindow(g, h) : nullptr;
        if (h && events != 0 && !w) return fail(kErrInvalid);
        int fl = ::fcntl(rec.fd, F_GETFL);
        if (fl < 0 || ::fcntl(rec.fd, F_SETFL, fl | O_NONBLOCK) < 0)
            return fail(errorFromErrno(errno));
        // A new selection replaces the old one; no window or no events
        // only cancels it.
        unlinkSocket(rec);
        if (!w || events == 0) return 0;
        target = w->queue;
        std::lock_guard<std::mutex> qhold(target->mu);
        rec.hwnd = h;
        rec.msg = msg;
        rec.events = events;
        rec.owner = target;
        rec.baseSent = rec.sent;
        rec.baseReceived = rec.received;
        if (rec.link == Link::Idle) {
            sockaddr_in peer{};
            socklen_t plen = sizeof peer;
            if (::getpeername(rec.fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0)
                rec.link = Link::Connected;
        }
        if (rec.link == Link::Connected) {
            // As at any selection: data waiting and room to write are told.
            rec.readArmed = true;
            rec.writeWanted = (events & kFdWrite) != 0;
        }
        target->sockets.push_back(it->second);
        rec.linked = target.get();
    }
    if (target->thread != std::this_thread::get_id()) wake(*target);
    return 0;
}

}  // namespace plat
