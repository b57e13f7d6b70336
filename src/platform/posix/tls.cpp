// Secure sockets on POSIX: a secure link (../secure_link.cpp) over the
// socket's descriptor, with an OpenSSL engine (openssl_engine.cpp). One
// context serves every socket of the process; the first secure socket loads
// OpenSSL and makes it, since loading the library and the trust store costs
// tens of milliseconds and a process that speaks no TLS should pay nothing.
#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <mutex>

#include "openssl_api.h"
#include "openssl_engine.h"
#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

std::mutex contextMu;
SSL_CTX* context = nullptr;  // guarded by contextMu; kept for the process's life

// Why the thread's last secureSocket or startSecure could not make its
// socket secure: a socket without a link has nowhere else to keep it.
thread_local char setupReason[256];

int cannotSecure(int error, const char* reason) {
    std::snprintf(setupReason, sizeof setupReason, "%s", reason);
    return fail(error);
}

SSL_CTX* makeContext() {
    const OpenSsl& o = openssl;
    if (!makeLinkMethod()) return nullptr;
    SSL_CTX* ctx = o.SSL_CTX_new(o.TLS_client_method());
    if (!ctx) return nullptr;
    // TLS 1.2 or newer (SSL_CTX_set_min_proto_version); the system's trust
    // store, or what SSL_CERT_FILE and SSL_CERT_DIR name.
    if (o.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1 ||
        o.SSL_CTX_set_default_verify_paths(ctx) != 1) {
        o.SSL_CTX_free(ctx);
        return nullptr;
    }
    // A send gives the engine at most one record and may come back with the
    // same bytes in another buffer (SSL_CTX_set_mode). The client never
    // renegotiates, and a server's request to fails the link
    // (openssl_engine.cpp).
    o.SSL_CTX_ctrl(ctx, SSL_CTRL_MODE,
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
    o.SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    // No session is resumed, so none is kept (SSL_CTX_set_session_cache_mode).
    o.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_OFF, nullptr);
    return ctx;
}

// *loaded tells, when there is no context, whether OpenSSL was there.
SSL_CTX* sharedContext(bool* loaded) {
    std::lock_guard<std::mutex> hold(contextMu);
    // OpenSSL that could not be loaded, or a context that could not be
    // made, is tried again by the next socket.
    *loaded = context || loadOpenSsl();
    if (!context && *loaded) {
        context = makeContext();
        openssl.ERR_clear_error();
    }
    return context;
}

// ---- the link's transport: the socket's descriptor, the thread's queue ----

int linkRead(void* ctx, char* buf, int len, int* error) {
    SockRec& r = *static_cast<SockRec*>(ctx);
    ssize_t n;
    do {
        n = ::recv(r.fd, buf, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    *error = errorFromErrno(errno);
    return -1;
}

int linkWrite(void* ctx, const char* buf, int len, int* error) {
    SockRec& r = *static_cast<SockRec*>(ctx);
    ssize_t n;
    do {
        n = ::send(r.fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    *error = errorFromErrno(errno);
    return -1;
}

// The link runs only on the socket's own thread (its loop, or the core's
// calls), so the event goes to that thread's queue.
void linkPost(void* ctx, long event, int error) {
    Thread* t = thisThread();
    if (t) postEvent(*t, *static_cast<SockRec*>(ctx), event, error);
}

const SecureTransport kTransport = {linkRead, linkWrite, linkPost};

bool usableArguments(const char* host, int flags) {
    return host && *host && (flags & ~kSecureNoVerify) == 0;
}

// Gives rec a link with its engine: 0, or kSocketError with the error set.
int makeSecure(SockRec& rec, const char* host, int flags) {
    setupReason[0] = '\0';
    bool loaded = false;
    SSL_CTX* ctx = sharedContext(&loaded);
    if (!ctx) {
        return cannotSecure(kErrSecureFailed, loaded ? "OpenSSL could not make its TLS context"
                                                     : "OpenSSL 3 (libssl.so.3, libcrypto.so.3) "
                                                       "could not be loaded");
    }
    SecureLink* link = secureLinkNew(&kTransport, &rec, kSecureInSize, kSecureOutSize);
    if (!link || !attachOpenSsl(*link, ctx, host, flags)) {
        secureLinkFree(link);
        return cannotSecure(kErrNoBufs, "OpenSSL could not make a TLS client for the socket");
    }
    rec.tls.reset(link);
    return 0;
}

}  // namespace

}  // namespace posix

using namespace posix;

// Only on a socket of this thread that is neither selected nor connected:
// from the selection on its events are the link's.
int secureSocket(Socket s, const char* host, int flags) {
    SockRec* rec = ownSocket(s);
    if (!rec) return fail(kErrNotSocket);
    if (!usableArguments(host, flags) || rec->tls || rec->hwnd || rec->link != Link::Idle)
        return fail(kErrInvalid);
    return makeSecure(*rec, host, flags);
}

// Only on a socket of this thread that is selected and connected, and not
// secure already: its handshake starts at once.
int startSecure(Socket s, const char* host, int flags) {
    SockRec* rec = ownSocket(s);
    if (!rec) return fail(kErrNotSocket);
    if (!usableArguments(host, flags) || rec->tls || !rec->hwnd || rec->link != Link::Connected)
        return fail(kErrInvalid);
    if (makeSecure(*rec, host, flags) != 0) return kSocketError;
    secureConnected(*rec->tls, 0);
    return 0;
}

int secureFailure(Socket s, char* buf, int size) {
    if (!buf || size <= 0) return 0;
    SockRec* rec = ownSocket(s);
    if (rec && rec->tls) return secureReason(*rec->tls, buf, size);
    int n = std::snprintf(buf, static_cast<size_t>(size), "%s", setupReason);
    return n < size ? n : size - 1;
}

int socketMoved(Socket s, uint32_t* tick) {
    SockRec* rec = ownSocket(s);
    if (!rec || !rec->tls || !tick) return 0;
    return secureMoved(*rec->tls, tick) ? 1 : 0;
}

}  // namespace plat
