#include "peer/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "files.h"

namespace peer {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int SLICE_MS = 50;        // how often waits look at stopping
constexpr int HEAD_WAIT_MS = 10000;
constexpr int BODY_WAIT_MS = 60000;
constexpr int SEND_WAIT_MS = 30000;
constexpr int CLOSE_WAIT_MS = 5000;  // for the client to close after we did

struct Conn {
    Peer* p;
    int fd;
    size_t index;
    std::string in;                      // everything received so far
    size_t headEnd = std::string::npos;  // offset just past the request head
};

Clock::time_point after(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now())
                    .count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void keep(Conn& c, const char* data, size_t n) {
    c.in.append(data, n);
    std::lock_guard<std::mutex> lock(c.p->mu);
    c.p->received[c.index].append(data, n);
}

// Bytes read (>0), 0 when the client closed, -1 on error or when nothing came
// before the deadline. Once stopping, takes only what is already there.
int readSome(Conn& c, Clock::time_point deadline) {
    char buf[65536];
    for (;;) {
        bool last = c.p->stopping || Clock::now() >= deadline;
        pollfd pfd{c.fd, POLLIN, 0};
        int r = poll(&pfd, 1, last ? 0 : std::min(SLICE_MS, msLeft(deadline)));
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) {
            ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n > 0) {
                keep(c, buf, static_cast<size_t>(n));
                return static_cast<int>(n);
            }
            if (n == 0) return 0;
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        if (last) return -1;
    }
}

void sleepFor(Peer* p, int ms) {
    auto deadline = after(ms);
    while (!p->stopping && Clock::now() < deadline)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(SLICE_MS, msLeft(deadline))));
}

bool sendAll(Conn& c, const char* data, size_t n) {
    auto deadline = after(SEND_WAIT_MS);
    while (n > 0) {
        if (c.p->stopping || Clock::now() >= deadline) return false;
        pollfd pfd{c.fd, POLLOUT, 0};
        int r = poll(&pfd, 1, SLICE_MS);
        if (r <= 0) continue;
        ssize_t k = ::send(c.fd, data, n, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        data += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// The end of a request head: an empty line, CR LF or bare LF style.
size_t findHeadEnd(const std::string& s) {
    size_t crlf = s.find("\r\n\r\n");
    size_t lf = s.find("\n\n");
    size_t a = crlf == std::string::npos ? std::string::npos : crlf + 4;
    size_t b = lf == std::string::npos ? std::string::npos : lf + 2;
    return std::min(a, b);
}

long long announcedLength(const std::string& head) {
    std::string lower(head);
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos) return -1;
    at += 16;
    while (at < lower.size() && (lower[at] == ' ' || lower[at] == '\t')) ++at;
    long long n = 0;
    bool digits = false;
    while (at < lower.size() && std::isdigit(static_cast<unsigned char>(lower[at]))) {
        n = n * 10 + (lower[at++] - '0');
        digits = true;
    }
    return digits ? n : -1;
}

bool readHeadStep(Conn& c) {
    auto deadline = after(HEAD_WAIT_MS);
    while ((c.headEnd = findHeadEnd(c.in)) == std::string::npos)
        if (readSome(c, deadline) <= 0) return false;
    return true;
}

bool readBodyStep(Conn& c) {
    if (c.headEnd == std::string::npos) return false;
    long long len = announcedLength(c.in.substr(0, c.headEnd));
    if (len <= 0) return true;
    auto deadline = after(BODY_WAIT_MS);
    while (c.in.size() < c.headEnd + static_cast<size_t>(len))
        if (readSome(c, deadline) <= 0) return false;
    return true;
}

bool holdStep(Conn& c, int ms) {
    auto deadline = after(ms);
    while (!c.p->stopping && Clock::now() < deadline) {
        // Only hang-up matters here: unread data must stay unread.
        pollfd pfd{c.fd, POLLRDHUP, 0};
        int r = poll(&pfd, 1, std::min(SLICE_MS, msLeft(deadline)));
        if (r > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
    }
    return true;
}

bool awaitCloseStep(Conn& c, int ms) {
    auto deadline = after(ms);
    while (readSome(c, deadline) > 0) {
    }
    return true;
}

bool generateStep(Conn& c) {
    size_t size = 0;
    unsigned seed = 0;
    size_t at = c.in.find("/gen/");
    size_t eol = c.in.find('\n');
    if (at == std::string::npos || at > eol ||
        std::sscanf(c.in.c_str() + at, "/gen/%zu/%u", &size, &seed) != 2)
        return sendAll(c, "HTTP/1.0 400 Bad Request\r\n\r\n", 28);
    std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: " +
                        std::to_string(size) + "\r\n\r\n" +
                        e2e::patternBytes(size, seed);
    return sendAll(c, reply.data(), reply.size());
}

void closeSocket(Conn& c, bool abortive) {
    if (abortive) {
        linger lg{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    } else {
        shutdown(c.fd, SHUT_WR);
        awaitCloseStep(c, CLOSE_WAIT_MS);
    }
    ::close(c.fd);
    c.fd = -1;
}

// false ends the script.
bool runStep(Conn& c, const Step& s) {
    switch (s.act) {
    case Act::ReadHead: return readHeadStep(c);
    case Act::ReadBody: return readBodyStep(c);
    case Act::Send: return sendAll(c, s.text.data(), s.text.size());
    case Act::Trickle:
        for (size_t at = 0; at < s.text.size(); at += s.piece) {
            if (at > 0) sleepFor(c.p, s.ms);
            size_t n = std::min(s.piece, s.text.size() - at);
            if (!sendAll(c, s.text.data() + at, n)) return false;
        }
        return true;
    case Act::Pause: sleepFor(c.p, s.ms); return true;
    case Act::Hold: return holdStep(c, s.ms);
    case Act::AwaitClose: return awaitCloseStep(c, s.ms);
    case Act::Close: closeSocket(c, false); return false;
    case Act::Reset: closeSocket(c, true); return false;
    case Act::Generate: return generateStep(c);
    }
    return false;
}

void serve(Peer* p, int fd, size_t index) {
    Conn c{p, fd, index, {}};
    for (const Step& s : p->script)
        if (!runStep(c, s)) break;
    if (c.fd >= 0) ::close(c.fd);
}

void acceptLoop(Peer* p) {
    for (;;) {
        // Once stopping, connections already made (in the backlog) are still
        // taken, so that nothing a client sent goes unrecorded.
        bool last = p->stopping;
        pollfd pfd{p->listenfd, POLLIN, 0};
        if (poll(&pfd, 1, last ? 0 : SLICE_MS) <= 0) {
            if (last) return;
            continue;
        }
        // Non-blocking, so that no write can outlast its deadline.
        int fd = ::accept4(p->listenfd, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0) {
            if (last) return;
            continue;
        }
        // Every write leaves at once, so pieces reach the client as pieces.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(p->mu);
        size_t index = p->received.size();
        p->received.emplace_back();
        p->workers.emplace_back(serve, p, fd, index);
    }
}

}  // namespace

Step readHead() { return {Act::ReadHead, "", 0, 0}; }
Step readBody() { return {Act::ReadBody, "", 0, 0}; }
Step send(const std::string& text) { return {Act::Send, text, 0, 0}; }
Step trickle(const std::string& text, size_t piece, int ms) {
    return {Act::Trickle, text, ms, piece == 0 ? 1 : piece};
}
Step pause(int ms) { return {Act::Pause, "", ms, 0}; }
Step hold(int ms) { return {Act::Hold, "", ms, 0}; }
Step awaitClose(int ms) { return {Act::AwaitClose, "", ms, 0}; }
Step close() { return {Act::Close, "", 0, 0}; }
Step reset() { return {Act::Reset, "", 0, 0}; }
Step generate() { return {Act::Generate, "", 0, 0}; }

Script recordAndAnswer() {
    return {readHead(), readBody(),
            send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"), close()};
}

bool startPeer(Peer& p, const Script& script, uint16_t port, int rcvbuf,
               std::string* why) {
    auto fail = [&](const char* what) {
        if (why) *why = std::string(what) + ": " + std::strerror(errno);
        if (p.listenfd >= 0) ::close(p.listenfd);
        p.listenfd = -1;
        return false;
    };
    p.script = script;
    p.stopping = false;
    p.received.clear();
    p.listenfd = ::socket(p.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (p.listenfd < 0) return fail("socket");
    int one = 1;
    setsockopt(p.listenfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit it; a small one makes the client's sends block.
    if (rcvbuf > 0)
        setsockopt(p.listenfd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a6.sin6_port = htons(port);
    sockaddr* at = p.ipv6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a);
    socklen_t len = p.ipv6 ? sizeof a6 : sizeof a;
    if (bind(p.listenfd, at, len) != 0) return fail("bind");
    if (listen(p.listenfd, 16) != 0) return fail("listen");
    if (getsockname(p.listenfd, at, &len) != 0) return fail("getsockname");
    p.port = ntohs(p.ipv6 ? a6.sin6_port : a.sin_port);
    p.acceptor = std::thread(acceptLoop, &p);
    return true;
}

void stopPeer(Peer& p) {
    if (p.listenfd < 0) return;
    p.stopping = true;
    if (p.acceptor.joinable()) p.acceptor.join();
    ::close(p.listenfd);
    p.listenfd = -1;
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(p.mu);
        workers.swap(p.workers);
    }
    for (std::thread& t : workers) t.join();
}

std::vector<std::string> received(Peer& p) {
    std::lock_guard<std::mutex> lock(p.mu);
    return p.received;
}

}  // namespace peer
