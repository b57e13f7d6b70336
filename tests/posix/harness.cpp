#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace harness {

namespace {

constexpr unsigned kTimer = 0x113;

struct Record {
    std::vector<Seen> seen;
    Handler handler;
};

std::mutex recordsMu;
std::map<plat::Hwnd, Record> records;

plat::LResult testProc(plat::Hwnd w, unsigned msg, plat::WParam wp, plat::LParam lp) {
    Handler h;
    {
        std::lock_guard<std::mutex> hold(recordsMu);
        auto it = records.find(w);
        if (it == records.end()) return 0;
        it->second.seen.push_back(Seen{msg, wp, lp});
        h = it->second.handler;
    }
    if (h) h(w, msg, wp, lp);
    return 0;
}

const char kClass[] = "QuodraPosixTestWindow";

}  // namespace

plat::Hwnd makeWindow(Handler handler) {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::WndClass wc{};
        wc.lpfnWndProc = testProc;
        wc.lpszClassName = kClass;
        plat::RegisterClassA(&wc);
    });
    plat::Hwnd w = plat::CreateWindowExA(0, kClass, "test", 0, 0, 0, 30, 10, nullptr,
                                         nullptr, nullptr, nullptr);
    if (w) {
        std::lock_guard<std::mutex> hold(recordsMu);
        records[w] = Record{{}, std::move(handler)};
    }
    return w;
}

void dropWindow(plat::Hwnd w) {
    plat::DestroyWindow(w);
    std::lock_guard<std::mutex> hold(recordsMu);
    records.erase(w);
}

std::vector<Seen> seen(plat::Hwnd w) {
    std::lock_guard<std::mutex> hold(recordsMu);
    auto it = records.find(w);
    return it == records.end() ? std::vector<Seen>() : it->second.seen;
}

std::vector<Seen> events(plat::Hwnd w, int event) {
    std::vector<Seen> out;
    for (const Seen& s : seen(w))
        if (s.msg == kNetNotify && eventOf(s.lParam) == event) out.push_back(s);
    return out;
}

bool pumpUntil(plat::Hwnd w, const std::function<bool()>& done, unsigned ms) {
    if (done()) return true;
    plat::SetTimer(w, kDeadlineTimer, ms);
    bool result = false;
    for (;;) {
        plat::Msg m;
        if (plat::GetMessageA(&m, w, 0, 0) <= 0) break;
        if (m.message == kTimer && m.wParam == kDeadlineTimer) break;
        plat::TranslateMessage(&m);
        plat::DispatchMessageA(&m);
        if (done()) {
            result = true;
            break;
        }
    }
    plat::KillTimer(w, kDeadlineTimer);
    return result || done();
}

void pumpFor(plat::Hwnd w, unsigned ms) {
    pumpUntil(w, [] { return false; }, ms);
}

Listener listenLoopback(bool v6) {
    Listener l;
    l.fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a{};
    socklen_t len;
    if (v6) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&a);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        len = sizeof *in6;
    } else {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&a);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *in;
    }
    if (l.fd < 0 || ::bind(l.fd, reinterpret_cast<sockaddr*>(&a), len) < 0 ||
        ::listen(l.fd, 8) < 0 ||
        ::getsockname(l.fd, reinterpret_cast<sockaddr*>(&a), &len) < 0) {
        closeListener(l);
        return l;
    }
    l.port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    return l;
}

void closeListener(Listener& l) {
    if (l.fd >= 0) ::close(l.fd);
    l.fd = -1;
}

int acceptPeer(const Listener& l, unsigned ms) {
    pollfd p{l.fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(ms)) != 1) return -1;
    return ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
}

uint16_t closedPort(bool v6) {
    Listener l = listenLoopback(v6);
    uint16_t port = l.port;
    closeListener(l);
    return port;
}

plat::SockAddr loopback(uint16_t port, bool v6) {
    plat::SockAddr a{};
    a.family = v6 ? 23 : 2;
    a.port = htons(port);
    if (v6) {
        std::memcpy(a.addr, &in6addr_loopback, 16);
    } else {
        uint32_t net = htonl(INADDR_LOOPBACK);
        std::memcpy(a.addr, &net, 4);
    }
    return a;
}

bool peerWrite(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string peerRead(int fd, size_t atMost, unsigned ms) {
    std::string out;
    char buf[65536];
    while (out.size() < atMost) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(ms)) != 1) break;
        size_t want = std::min(sizeof buf, atMost - out.size());
        ssize_t n = ::recv(fd, buf, want, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

void peerClose(int fd) { ::close(fd); }

void peerReset(int fd) {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd);
}

bool peerSeesEnd(int fd, unsigned ms) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, static_cast<int>(ms)) == 1 && ::recv(fd, &byte, 1, 0) == 0;
}

void systemPair(int fds[2]) { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }

}  // namespace harness
