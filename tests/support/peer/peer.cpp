#include "peer/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
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
constexpr int HOLD_MS = 30000;       // a handshake that stops holds this long at most

struct Conn {
    Peer* p;
    int fd;
    size_t index;
    std::string in;                      // everything received so far
    size_t headEnd = std::string::npos;  // offset just past the request head
    SSL* ssl = nullptr;                  // set for a TLS peer once accepted
    std::string serverName{};            // what its hello asked for (SNI)
};

// What a read or write on the connection gave, beside a count.
constexpr int NOW_NOTHING = -2;  // nothing now: wait for the socket
constexpr int NOW_FAILED = -1;

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

// One read without waiting: bytes (>0), 0 when the client closed (for TLS
// with or without its closing notice), NOW_NOTHING or NOW_FAILED; *wants is
// what to wait for before the next try.
int readNow(Conn& c, char* buf, size_t size, short* wants) {
    *wants = POLLIN;
    if (!c.ssl) {
        ssize_t n = ::recv(c.fd, buf, size, 0);
        if (n >= 0) return static_cast<int>(n);
        return errno == EINTR || errno == EAGAIN ? NOW_NOTHING : NOW_FAILED;
    }
    ERR_clear_error();
    int n = SSL_read(c.ssl, buf, static_cast<int>(size));
    if (n > 0) return n;
    int e = SSL_get_error(c.ssl, n);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ) return NOW_NOTHING;
    if (e == SSL_ERROR_WANT_WRITE) {
        *wants = POLLOUT;
        return NOW_NOTHING;
    }
    return e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL || e == SSL_ERROR_SSL ? 0 : NOW_FAILED;
}

// Bytes read (>0), 0 when the client closed, -1 on error or when nothing came
// before the deadline. Once stopping, takes only what is already there.
int readSome(Conn& c, Clock::time_point deadline) {
    char buf[65536];
    short wants = POLLIN;
    for (;;) {
        bool last = c.p->stopping || Clock::now() >= deadline;
        // Plaintext the engine holds already is there without the socket.
        if (!c.ssl || SSL_pending(c.ssl) == 0) {
            pollfd pfd{c.fd, wants, 0};
            int r = poll(&pfd, 1, last ? 0 : std::min(SLICE_MS, msLeft(deadline)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                if (last) return -1;
                continue;
            }
        }
        int n = readNow(c, buf, sizeof buf, &wants);
        if (n > 0) {
            keep(c, buf, static_cast<size_t>(n));
            return n;
        }
        if (n != NOW_NOTHING) return n;
    }
}

void sleepFor(Peer* p, int ms) {
    auto deadline = after(ms);
    while (!p->stopping && Clock::now() < deadline)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(SLICE_MS, msLeft(deadline))));
}

// One write without waiting: the count taken, NOW_NOTHING or NOW_FAILED.
int writeNow(Conn& c, const char* data, size_t n, short* wants) {
    *wants = POLLOUT;
    if (!c.ssl) {
        ssize_t k = ::send(c.fd, data, n, MSG_NOSIGNAL);
        if (k >= 0) return static_cast<int>(k);
        return errno == EINTR || errno == EAGAIN ? NOW_NOTHING : NOW_FAILED;
    }
    ERR_clear_error();
    int k = SSL_write(c.ssl, data, static_cast<int>(std::min<size_t>(n, 1 << 20)));
    if (k > 0) return k;
    int e = SSL_get_error(c.ssl, k);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_WRITE) return NOW_NOTHING;
    if (e == SSL_ERROR_WANT_READ) {
        *wants = POLLIN;
        return NOW_NOTHING;
    }
    return NOW_FAILED;
}

bool sendAll(Conn& c, const char* data, size_t n) {
    auto deadline = after(SEND_WAIT_MS);
    short wants = POLLOUT;
    while (n > 0) {
        if (c.p->stopping || Clock::now() >= deadline) return false;
        pollfd pfd{c.fd, wants, 0};
        int r = poll(&pfd, 1, SLICE_MS);
        if (r <= 0) continue;
        int k = writeNow(c, data, n, &wants);
        if (k == NOW_NOTHING) continue;
        if (k < 0) return false;
        data += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool holdStep(Conn& c, int ms);

// Bytes straight to the socket, past the engine, bounded like a send.
bool sendRaw(Conn& c, const char* data, size_t n) {
    auto deadline = after(SEND_WAIT_MS);
    while (n > 0) {
        if (c.p->stopping || Clock::now() >= deadline) return false;
        ssize_t k = ::send(c.fd, data, n, MSG_NOSIGNAL);
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd pfd{c.fd, POLLOUT, 0};
            poll(&pfd, 1, SLICE_MS);
            continue;
        }
        if (k < 0) return false;
        data += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// The handshake's bytes the engine has written, sent in the pieces and at
// the pace of p's HandshakePace; false once it is to stop (it then holds
// until the client leaves) or the client has gone.
bool sendPaced(Conn& c, BIO* written, size_t* sent) {
    const HandshakePace& pace = c.p->pace;
    char piece[4096];
    while (BIO_pending(written) > 0) {
        if (pace.stopAfter && *sent >= pace.stopAfter) {
            holdStep(c, HOLD_MS);
            return false;
        }
        size_t want = std::min(pace.piece, sizeof piece);
        if (pace.stopAfter) want = std::min(want, pace.stopAfter - *sent);
        int n = BIO_read(written, piece, static_cast<int>(want));
        if (n <= 0) break;
        if (*sent > 0) sleepFor(c.p, pace.gapMs);
        if (!sendRaw(c, piece, static_cast<size_t>(n))) return false;
        *sent += static_cast<size_t>(n);
    }
    return true;
}

// The TLS handshake of an accepted connection, bounded like a head read.
// Paced, the engine writes into memory and the pieces go out from there.
bool handshake(Conn& c) {
    c.ssl = SSL_new(c.p->tls);
    if (!c.ssl || SSL_set_fd(c.ssl, c.fd) != 1) return false;
    SSL_set_app_data(c.ssl, &c);  // for the server-name callback
    BIO* written = nullptr;
    if (c.p->pace.piece > 0) {
        written = BIO_new(BIO_s_mem());
        if (!written) return false;
        SSL_set0_wbio(c.ssl, written);
    }
    size_t sent = 0;
    SSL_set_accept_state(c.ssl);
    auto deadline = after(HEAD_WAIT_MS);
    for (;;) {
        ERR_clear_error();
        int r = SSL_do_handshake(c.ssl);
        int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(c.ssl, r);
        ERR_clear_error();
        if (written && !sendPaced(c, written, &sent)) return false;
        if (r == 1) {
            // From here on the engine writes to the socket itself.
            if (written) SSL_set0_wbio(c.ssl, BIO_new_socket(c.fd, BIO_NOCLOSE));
            return true;
        }
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
        if (c.p->stopping || Clock::now() >= deadline) return false;
        pollfd pfd{c.fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        poll(&pfd, 1, SLICE_MS);
    }
}

// TLS's closing notice, sent as far as the socket takes it at once.
void sendCloseNotice(Conn& c) {
    if (!c.ssl) return;
    ERR_clear_error();
    for (int tries = 0; tries < 10 && SSL_shutdown(c.ssl) < 0; ++tries) {
        if (SSL_get_error(c.ssl, -1) != SSL_ERROR_WANT_WRITE) break;
        pollfd pfd{c.fd, POLLOUT, 0};
        poll(&pfd, 1, SLICE_MS);
    }
    ERR_clear_error();
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

// The plain part is over: the handshake, then a new stream of plaintext.
bool startTlsStep(Conn& c) {
    if (!c.p->tls || c.ssl || !handshake(c)) return false;
    c.in.clear();
    c.headEnd = std::string::npos;
    return true;
}

// The HelloRequest goes out; whatever the client makes of it, the script
// goes on without waiting for an answer.
bool renegotiateStep(Conn& c) {
    if (!c.ssl || SSL_renegotiate(c.ssl) != 1) return false;
    ERR_clear_error();
    SSL_do_handshake(c.ssl);
    ERR_clear_error();
    return true;
}

// A script with StartTls speaks plainly until that step.
bool startsPlain(const Script& script) {
    for (const Step& s : script)
        if (s.act == Act::StartTls) return true;
    return false;
}

enum class Ending { Orderly, Bare, Reset };

void closeSocket(Conn& c, Ending how) {
    if (how == Ending::Reset) {
        linger lg{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    } else {
        if (how == Ending::Orderly) sendCloseNotice(c);
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
    case Act::Close: closeSocket(c, Ending::Orderly); return false;
    case Act::CloseBare: closeSocket(c, Ending::Bare); return false;
    case Act::Reset: closeSocket(c, Ending::Reset); return false;
    case Act::Generate: return generateStep(c);
    case Act::StartTls: return startTlsStep(c);
    case Act::Renegotiate: return renegotiateStep(c);
    }
    return false;
}

void serve(Peer* p, int fd, size_t index) {
    Conn c{p, fd, index, {}};
    if (!p->tls || startsPlain(p->script) || handshake(c))
        for (const Step& s : p->script)
            if (!runStep(c, s)) break;
    if (c.fd >= 0) ::close(c.fd);
    SSL_free(c.ssl);
    ERR_clear_error();
    std::lock_guard<std::mutex> lock(p->mu);
    p->serverNames[index] = c.serverName;
}

// The server name a hello asks for is kept with its connection; a peer
// that refuses names fails the handshake on one.
int onServerName(SSL* ssl, int*, void* arg) {
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    Conn* c = static_cast<Conn*>(SSL_get_app_data(ssl));
    if (c && name) c->serverName = name;
    bool refuse = static_cast<const Peer*>(arg)->refuseServerName;
    return name && refuse ? SSL_TLSEXT_ERR_ALERT_FATAL : SSL_TLSEXT_ERR_OK;
}

// A TLS server presenting the peer's certificate; null with the reason.
SSL_CTX* makeServerContext(const Peer& p, std::string* why) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx && SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
        (!p.tls12 || SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) == 1) &&
        SSL_CTX_use_certificate_chain_file(ctx, p.certFile.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(ctx, p.keyFile.c_str(), SSL_FILETYPE_PEM) == 1) {
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE);
        SSL_CTX_set_tlsext_servername_callback(ctx, onServerName);
        SSL_CTX_set_tlsext_servername_arg(ctx, const_cast<Peer*>(&p));
        return ctx;
    }
    if (why) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        *why = "TLS context for " + p.certFile + ": " + text;
    }
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return nullptr;
}

void acceptLoop(Peer* p) {
    for (;;) {
        // Once stopping, connections already made (in the backlog) are still
        // taken, so that nothing a client sent goes unrecorded.
        bool last = p->stopping;
        pollfd pfd{p->listenFd, POLLIN, 0};
        if (poll(&pfd, 1, last ? 0 : SLICE_MS) <= 0) {
            if (last) return;
            continue;
        }
        // Non-blocking, so that no write can outlast its deadline.
        int fd = ::accept4(p->listenFd, nullptr, nullptr, SOCK_NONBLOCK);
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
        p->serverNames.emplace_back();
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
Step closeBare() { return {Act::CloseBare, "", 0, 0}; }
Step reset() { return {Act::Reset, "", 0, 0}; }
Step generate() { return {Act::Generate, "", 0, 0}; }
Step startTls() { return {Act::StartTls, "", 0, 0}; }
Step renegotiate() { return {Act::Renegotiate, "", 0, 0}; }

Script recordAndAnswer() {
    return {readHead(), readBody(),
            send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"), close()};
}

const char* certName(Cert c) {
    switch (c) {
    case Cert::None: return "";
    case Cert::Server: return "server";
    case Cert::Other: return "other";
    case Cert::Expired: return "expired";
    case Cert::Rogue: return "rogue";
    case Cert::CnOnly: return "cn-only";
    }
    return "";
}

bool certByName(const std::string& name, Cert* c) {
    for (Cert each : {Cert::None, Cert::Server, Cert::Other, Cert::Expired, Cert::Rogue, Cert::CnOnly})
        if (name == certName(each)) {
            *c = each;
            return true;
        }
    return false;
}

void prepareFor(Peer& p, const Scenario& s, const std::string& dir) {
    useCert(p, dir, s.cert);
    p.pace = s.pace;
    p.tls12 = s.tls12;
    p.ipv6 = s.ipv6;
    p.refuseServerName = s.refuseServerName;
}

void useCert(Peer& p, const std::string& dir, Cert c) {
    p.certFile = c == Cert::None ? "" : dir + "/" + certName(c) + ".pem";
    p.keyFile = c == Cert::None ? "" : dir + "/" + certName(c) + ".key";
}

bool startPeer(Peer& p, const Script& script, uint16_t port, int rcvbuf,
               std::string* why) {
    auto fail = [&](const char* what) {
        if (why) *why = std::string(what) + ": " + std::strerror(errno);
        if (p.listenFd >= 0) ::close(p.listenFd);
        p.listenFd = -1;
        SSL_CTX_free(p.tls);
        p.tls = nullptr;
        return false;
    };
    p.script = script;
    p.stopping = false;
    p.received.clear();
    p.serverNames.clear();
    if (!p.certFile.empty() && !(p.tls = makeServerContext(p, why))) return false;
    p.listenFd = ::socket(p.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (p.listenFd < 0) return fail("socket");
    int one = 1;
    setsockopt(p.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit it; a small one makes the client's sends block.
    if (rcvbuf > 0)
        setsockopt(p.listenFd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
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
    if (bind(p.listenFd, at, len) != 0) return fail("bind");
    if (listen(p.listenFd, 16) != 0) return fail("listen");
    if (getsockname(p.listenFd, at, &len) != 0) return fail("getsockname");
    p.port = ntohs(p.ipv6 ? a6.sin6_port : a.sin_port);
    p.acceptor = std::thread(acceptLoop, &p);
    return true;
}

void stopPeer(Peer& p) {
    if (p.listenFd < 0) return;
    p.stopping = true;
    if (p.acceptor.joinable()) p.acceptor.join();
    ::close(p.listenFd);
    p.listenFd = -1;
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(p.mu);
        workers.swap(p.workers);
    }
    for (std::thread& t : workers) t.join();
    SSL_CTX_free(p.tls);
    p.tls = nullptr;
}

std::vector<std::string> received(Peer& p) {
    std::lock_guard<std::mutex> lock(p.mu);
    return p.received;
}

std::vector<std::string> serverNames(Peer& p) {
    std::lock_guard<std::mutex> lock(p.mu);
    return p.serverNames;
}

}  // namespace peer
