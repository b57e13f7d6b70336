// Secure sockets: a TLS client engine (OpenSSL 3) given to a socket before
// it is selected. One context serves every socket of the process; the first
// secure socket makes it, since loading the trust store costs tens of
// milliseconds. Each socket gets its own engine, its bounded pair of rings
// and the checks for its host. Moving the bytes is tls_io.cpp's work.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <mutex>
#include <new>
#include <string>

#include "posix_internal.h"
#include "tls_link.h"

namespace plat {
namespace posix {

namespace {

std::mutex contextMu;
SSL_CTX* context = nullptr;  // guarded by contextMu; kept for the process's life

SSL_CTX* makeContext() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    // The system's trust store, or what SSL_CERT_FILE and SSL_CERT_DIR name.
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(ctx) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // A send gives the engine at most one record and may come back with the
    // same bytes in another buffer. A server's renegotiation would make a
    // send wait for a read; it is refused instead.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return ctx;
}

SSL_CTX* sharedContext() {
    std::lock_guard<std::mutex> hold(contextMu);
    // A context that could not be made is tried again by the next socket.
    if (!context) context = makeContext();
    ERR_clear_error();
    return context;
}

// True for an address literal (IPv6 possibly in brackets), which is checked
// against the certificate's address entries and sent as no server name.
bool isAddress(std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

bool setChecks(SSL* ssl, const std::string& host, bool address, bool verify) {
    if (!address && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) return false;
    if (!verify) {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (address) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl, host.c_str()) == 1;
}

TlsLink* makeLink(SSL_CTX* ctx, const char* hostText, int flags) {
    TlsLink* link = new (std::nothrow) TlsLink;
    if (!link) return nullptr;
    std::unique_ptr<TlsLink, TlsFree> hold(link);
    link->ssl = SSL_new(ctx);
    if (!link->ssl) return nullptr;
    BIO* inner = nullptr;
    if (BIO_new_bio_pair(&inner, kTlsRingOut, &link->net, kTlsRingIn) != 1) return nullptr;
    SSL_set_bio(link->ssl, inner, inner);
    SSL_set_connect_state(link->ssl);
    std::string host = hostText;
    bool address = isAddress(host);
    if (!setChecks(link->ssl, host, address, (flags & kSecureNoVerify) == 0)) return nullptr;
    return hold.release();
}

}  // namespace

void TlsFree::operator()(TlsLink* link) const {
    if (!link) return;
    SSL_free(link->ssl);  // and the inner half of the pair with it
    BIO_free(link->net);
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
    ERR_clear_error();
    if (!link) return fail(kErrNoBufs);
    rec->tls.reset(link);
    return 0;
}

}  // namespace plat
