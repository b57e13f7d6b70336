// The calling thread's kept connections: a connection whose reply left it
// fit for another request waits here, its events stopped, for the next
// exchange to the same origin on the same thread. The pool is the thread's
// own (no lock, no sharing: a connection is used by one exchange at a time,
// on the thread that made it), holds at most KEPT_MAX and closes one unused
// for KEPT_IDLE_MS at the next look. Nothing is allocated: an origin whose
// names do not fit an entry is not kept.
#include <cstring>

#include "common/text.h"
#include "platform/numbers.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

constexpr size_t NAME_ROOM = 256;  // a host name is at most 253 bytes

struct Kept {
    int used;             // 1 while the entry holds a connection
    plat::Socket sock;    // the connection, its events stopped
    uint32_t since;       // tick at which it was kept
    int secure;           // the origin: scheme,
    int noVerify;         // ... the certificate checks it was made with,
    uint16_t port;        // ... port,
    uint16_t proxyPort;   // ... and the proxy that carries it, if any
    char host[NAME_ROOM];
    char proxy[NAME_ROOM];  // "" when direct
};

// Zeroed for every thread: no entry used.
thread_local Kept kept[KEPT_MAX];

bool sameName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
        if (!x) return true;
    }
}

bool fits(const char* name) { return textLength(name) < static_cast<int>(NAME_ROOM); }

bool sameOrigin(const Kept& k, const RequestInfo* req) {
    return k.secure == req->secure && k.noVerify == req->noVerify && k.port == req->port &&
           sameName(k.host, req->host ? req->host : "") &&
           sameName(k.proxy, req->proxyHost ? req->proxyHost : "") &&
           (!req->proxyHost || k.proxyPort == req->proxyPort);
}

void drop(Kept& k) {
    plat::closesocket(k.sock);
    k.used = 0;
}

// Closes the connections unused for too long: their servers are about to
// close them, if they have not.
void closeStale() {
    uint32_t now = plat::GetTickCount();
    for (Kept& k : kept)
        if (k.used && now - k.since >= KEPT_IDLE_MS) drop(k);
}

}  // namespace

bool keepConnection(RequestInfo* req) {
    if (!connectionReusable(req)) return false;
    if (!fits(req->host) || !fits(req->proxyHost)) return false;
    closeStale();
    // A full pool gives up its oldest.
    Kept* slot = nullptr;
    for (Kept& k : kept) {
        if (!k.used) {
            slot = &k;
            break;
        }
        if (!slot || int32_t(k.since - slot->since) < 0) slot = &k;
    }
    // Its events stop with the exchange: the next one selects it again.
    if (plat::WSAAsyncSelect(req->sock, req->hwnd, 0, 0) != 0) return false;
    if (slot->used) drop(*slot);
    Kept& k = *slot;
    k.used = 1;
    k.sock = req->sock;
    k.since = plat::GetTickCount();
    k.secure = req->secure;
    k.noVerify = req->noVerify;
    k.port = req->port;
    k.proxyPort = req->proxyHost ? req->proxyPort : 0;
    std::memcpy(k.host, req->host ? req->host : "", static_cast<size_t>(textLength(req->host)) + 1);
    std::memcpy(k.proxy, req->proxyHost ? req->proxyHost : "",
                static_cast<size_t>(textLength(req->proxyHost)) + 1);
    req->sock = plat::kInvalidSocket;
    return true;
}

plat::Socket takeConnection(const RequestInfo* req) {
    closeStale();
    for (;;) {
        // The newest first: the least likely to have been closed.
        Kept* best = nullptr;
        for (Kept& k : kept)
            if (k.used && sameOrigin(k, req) && (!best || int32_t(k.since - best->since) > 0))
                best = &k;
        if (!best) return plat::kInvalidSocket;
        plat::Socket s = best->sock;
        best->used = 0;
        // A server's close that has arrived is seen here, at no cost;
        // one still on its way costs the retry.
        if (plat::socketIdleOpen(s)) return s;
        plat::closesocket(s);
    }
}

int closeConnections() {
    int closed = 0;
    for (Kept& k : kept) {
        if (!k.used) continue;
        drop(k);
        ++closed;
    }
    return closed;
}

bool keptConnectionFailed(const RequestInfo* req) {
    if (!req->reused || replyBegun(req)) return false;
    switch (req->result) {
    case RESULT_ENDED_EARLY:
    case plat::kErrConnReset:
    case plat::kErrConnAborted:
    case plat::kErrShutdown:
    case plat::kErrNotConnected:
        return true;
    default:
        return false;
    }
}

}  // namespace quodra
