// Secure sockets: a TLS client engine (OpenSSL 3) given to a socket before
// it is selected. One context serves every socket of the process; the first
// secure socket loads OpenSSL and makes it, since loading the library and
// the trust store costs tens of milliseconds and a process that speaks no
// TLS should pay nothing. Each socket gets its own engine, its bounded pair
// of rings and the checks for its host. Moving the bytes is tls_io.cpp's
// work.
#include <openssl/x509v3.h>

#include <mutex>
#include <new>
#include <string>

#include "openssl_api.h"
#include "posix_internal.h"
#include "tls_link.h"

namespace plat {
namespace posix {

namespace {

std::mutex contextMu;
SSL_CTX* context = nullptr;  // guarded by contextMu; kept for the process's life

SSL_CTX* makeContext() {
    const OpenSsl& o = openssl;
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
    // same bytes in another buffer (SSL_CTX_set_mode). A server's
    // renegotiation would make a send wait for a read; it is refused instead.
    o.SSL_CTX_ctrl(ctx, SSL_CTRL_MODE,
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
    o.SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    // No session is resumed, so none is kept (SSL_CTX_set_session_cache_mode).
    o.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_OFF, nullptr);
    return ctx;
}

SSL_CTX* sharedContext() {
    std::lock_guard<std::mutex> hold(contextMu);
    // OpenSSL that could not be loaded, or a context that could not be
    // made, is tried again by the next socket.
    if (!context && loadOpenSsl()) {
        context = makeContext();
        openssl.ERR_clear_error();
    }
    return context;
}

// True for an address literal, which is checked against the certificate's
// address entries and sent as no server name. The platform's one reader
// decides, as it does for the core.
bool isAddress(const std::string& host) { return addressLiteral(host.data(), host.size(), nullptr) != 0; }

bool setChecks(SSL* ssl, const std::string& host, bool address, bool verify) {
    const OpenSsl& o = openssl;
    // The name the server is asked for (SSL_set_tlsext_host_name); an
    // address is not a name.
    if (!address && o.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                               const_cast<char*>(host.c_str())) != 1)
        return false;
    if (!verify) {
        o.SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    o.SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (address)
        return o.X509_VERIFY_PARAM_set1_ip_asc(o.SSL_get0_param(ssl), host.c_str()) == 1;
    o.SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return o.SSL_set1_host(ssl, host.c_str()) == 1;
}

TlsLink* makeLink(SSL_CTX* ctx, const char* hostText, int flags) {
    const OpenSsl& o = openssl;
    TlsLink* link = new (std::nothrow) TlsLink;
    if (!link) return nullptr;
    std::unique_ptr<TlsLink, TlsFree> hold(link);
    link->ssl = o.SSL_new(ctx);
    if (!link->ssl) return nullptr;
    BIO* inner = nullptr;
    if (o.BIO_new_bio_pair(&inner, kTlsRingOut, &link->net, kTlsRingIn) != 1) return nullptr;
    o.SSL_set_bio(link->ssl, inner, inner);
    o.SSL_set_connect_state(link->ssl);
    std::string host = hostText;
    bool address = isAddress(host);
    if (!setChecks(link->ssl, host, address, (flags & kSecureNoVerify) == 0)) return nullptr;
    return hold.release();
}

}  // namespace

void TlsFree::operator()(TlsLink* link) const {
    if (!link) return;
    // A link exists only once OpenSSL has been loaded.
    openssl.SSL_free(link->ssl);  // and the inner half of the pair with it
    openssl.BIO_free(link->net);
    delete link;
}

}  // namespace posix

using namespace posix;

// Only on a socket of this thread that is neither selected nor connected:
// from the selection on its events are the engine's.
int secureSocket(Socket s, const char* host, int flags) {
    Thread* t = thisThread();
    SockRec* rec = t ? findSocket(*t, s) : nullptr;
    if (!rec) return fail(kErrNotSocket);
    if (!host || !*host || (flags & ~kSecureNoVerify) || rec->tls || rec->hwnd ||
        rec->link != Link::Idle)
        return fail(kErrInvalid);
    SSL_CTX* ctx = sharedContext();
    if (!ctx) return fail(kErrSecureFailed);
    TlsLink* link = makeLink(ctx, host, flags);
    openssl.ERR_clear_error();
    if (!link) return fail(kErrNoBufs);
    rec->tls.reset(link);
    return 0;
}

}  // namespace plat
