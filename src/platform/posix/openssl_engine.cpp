// OpenSSL as a secure link's engine. The engine's BIO is the link itself:
// reading takes ciphertext from the link's input, writing appends to its
// output, and neither ever waits, so each engine call returns as soon as it
// wants bytes the link does not hold yet. The end of the input is never
// shown to OpenSSL: what an end means (a cut, a reset) is the link's to
// decide, the same for every engine.
#include "openssl_engine.h"

#include <openssl/x509v3.h>

#include <cstring>
#include <new>

#include "openssl_api.h"
#include "platform/numbers.h"
#include "platform/platform.h"

namespace plat {
namespace posix {

namespace {

// The most plaintext one send puts into one record, and the output room
// such a record takes.
constexpr int kRecordData = SSL3_RT_MAX_PLAIN_LENGTH;
constexpr size_t kRecordRoom = SSL3_RT_MAX_PACKET_SIZE;

// The handshake type of TLS 1.2's request for a new handshake.
constexpr unsigned char kHelloRequest = SSL3_MT_HELLO_REQUEST;

struct Engine {
    SSL* ssl = nullptr;        // owns the BIO
    bool open = false;         // the first handshake is done
    bool renegotiate = false;  // the server asked for another since
};

BIO_METHOD* linkMethod = nullptr;  // made once, kept for the process

Engine& engineOf(const SecureLink& link) { return *static_cast<Engine*>(link.state); }
SecureLink& linkOf(BIO* bio) { return *static_cast<SecureLink*>(openssl.BIO_get_data(bio)); }

int bioRead(BIO* bio, char* buf, int len) {
    const OpenSsl& o = openssl;
    o.BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    size_t have = 0;
    const char* from = secureInput(linkOf(bio), &have);
    if (have == 0 || len <= 0) {
        o.BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);  // BIO_set_retry_read
        return -1;
    }
    size_t n = have < static_cast<size_t>(len) ? have : static_cast<size_t>(len);
    std::memcpy(buf, from, n);
    secureConsume(linkOf(bio), n);
    return static_cast<int>(n);
}

int bioWrite(BIO* bio, const char* data, int len) {
    const OpenSsl& o = openssl;
    o.BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    size_t room = 0;
    char* to = secureOutput(linkOf(bio), &room);
    if (room == 0 || len <= 0) {
        o.BIO_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);  // BIO_set_retry_write
        return -1;
    }
    size_t n = room < static_cast<size_t>(len) ? room : static_cast<size_t>(len);
    std::memcpy(to, data, n);
    secureQueued(linkOf(bio), n);
    return static_cast<int>(n);
}

// Everything the engine writes is in the link's hands at once: a flush has
// nothing left to do.
long bioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

// Every handshake message OpenSSL reads passes here: a HelloRequest after
// the first handshake asks for a renegotiation, which would bring a
// certificate of its own; the link fails instead. (OpenSSL alone, told no
// renegotiation, only answers with a warning and goes on.)
void watchMessages(int writing, int, int contentType, const void* buf, size_t len, SSL*,
                   void* arg) {
    Engine& e = *static_cast<Engine*>(arg);
    if (!writing && contentType == SSL3_RT_HANDSHAKE && len > 0 && e.open &&
        static_cast<const unsigned char*>(buf)[0] == kHelloRequest)
        e.renegotiate = true;
}

SecureStep handshake(SecureLink& link, int* error) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    o.ERR_clear_error();
    int rc = o.SSL_do_handshake(e.ssl);
    int sslError = rc == 1 ? SSL_ERROR_NONE : o.SSL_get_error(e.ssl, rc);
    o.ERR_clear_error();
    if (rc == 1) {
        e.open = true;
        return SecureStep::Done;
    }
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) return SecureStep::More;
    // The certificate, when it was checked and failed, or the handshake itself.
    bool checked = (o.SSL_get_verify_mode(e.ssl) & SSL_VERIFY_PEER) != 0;
    *error = checked && o.SSL_get_verify_result(e.ssl) != X509_V_OK ? kErrCertRejected
                                                                     : kErrSecureFailed;
    return SecureStep::Failed;
}

int encrypt(SecureLink& link, const char* data, int len) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    o.ERR_clear_error();
    int n = o.SSL_write(e.ssl, data, len < kRecordData ? len : kRecordData);
    o.ERR_clear_error();
    // With room for a whole record, and renegotiation refused, the engine
    // has no reason to hold back: anything but a record is a failure.
    return n > 0 ? n : -kErrSecureFailed;
}

SecureRead decrypt(SecureLink& link, int* error) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    o.ERR_clear_error();
    char byte;
    int n = o.SSL_peek(e.ssl, &byte, 1);
    int sslError = n > 0 ? SSL_ERROR_NONE : o.SSL_get_error(e.ssl, n);
    o.ERR_clear_error();
    if (e.renegotiate) {
        *error = kErrSecureFailed;
        return SecureRead::Failed;
    }
    if (n > 0) return SecureRead::Plaintext;
    if (sslError == SSL_ERROR_ZERO_RETURN) return SecureRead::Closed;
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) return SecureRead::More;
    *error = kErrSecureFailed;
    return SecureRead::Failed;
}

int take(SecureLink& link, char* buf, int len) {
    const OpenSsl& o = openssl;
    o.ERR_clear_error();
    int n = o.SSL_read(engineOf(link).ssl, buf, len);
    o.ERR_clear_error();
    return n > 0 ? n : 0;
}

// Nothing after a refused renegotiation is given: the read that met the
// request may have made the next record ready.
bool holding(const SecureLink& link) {
    const Engine& e = engineOf(link);
    return !e.renegotiate && openssl.SSL_pending(e.ssl) > 0;
}

void closeNotice(SecureLink& link) {
    openssl.ERR_clear_error();
    openssl.SSL_shutdown(engineOf(link).ssl);  // our close_notify, into the output
    openssl.ERR_clear_error();
}

void release(void* state) {
    Engine* e = static_cast<Engine*>(state);
    // An engine exists only once OpenSSL has been loaded.
    openssl.SSL_free(e->ssl);  // and its BIO with it
    delete e;
}

const SecureEngine kOpenSsl = {handshake, nullptr, encrypt,    decrypt,
                               take,      holding, closeNotice, release};

// The name asked for and the checks of the peer. The platform's reader
// decides what is an address, so that OpenSSL's own guess never differs
// from it; an address is not sent as a name.
bool setChecks(SSL* ssl, const char* host, int flags) {
    const OpenSsl& o = openssl;
    SockAddr a{};
    bool address = addressLiteral(host, std::strlen(host), &a) != 0;
    // SSL_set_tlsext_host_name.
    if (!address && o.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                               const_cast<char*>(host)) != 1)
        return false;
    if (flags & kSecureNoVerify) {
        o.SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    o.SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = o.SSL_get0_param(ssl);
    if (address)
        return o.X509_VERIFY_PARAM_set1_ip(param, a.addr, a.family == kAfInet ? 4 : 16) == 1;
    // The subject alternative names only, never the subject's common name
    // (RFC 9525); a wildcard only as a whole leftmost label.
    o.X509_VERIFY_PARAM_set_hostflags(
        param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    return o.X509_VERIFY_PARAM_set1_host(param, host, 0) == 1;
}

}  // namespace

bool makeLinkMethod() {
    if (linkMethod) return true;
    const OpenSsl& o = openssl;
    int type = o.BIO_get_new_index();
    BIO_METHOD* m = type > 0 ? o.BIO_meth_new(type | BIO_TYPE_SOURCE_SINK, "quodra link") : nullptr;
    if (!m || o.BIO_meth_set_read(m, bioRead) != 1 || o.BIO_meth_set_write(m, bioWrite) != 1 ||
        o.BIO_meth_set_ctrl(m, bioCtrl) != 1) {
        if (m) o.BIO_meth_free(m);
        return false;
    }
    linkMethod = m;
    return true;
}

bool attachOpenSsl(SecureLink& link, SSL_CTX* ctx, const char* host, int flags) {
    const OpenSsl& o = openssl;
    Engine* e = new (std::nothrow) Engine;
    if (!e) return false;
    e->ssl = o.SSL_new(ctx);
    BIO* bio = e->ssl ? o.BIO_new(linkMethod) : nullptr;
    if (!bio) {
        release(e);
        return false;
    }
    o.BIO_set_data(bio, &link);
    o.BIO_set_init(bio, 1);
    o.SSL_set_bio(e->ssl, bio, bio);  // one BIO both ways, owned by the engine
    o.SSL_set_connect_state(e->ssl);
    o.SSL_set_msg_callback(e->ssl, watchMessages);
    o.SSL_ctrl(e->ssl, SSL_CTRL_SET_MSG_CALLBACK_ARG, 0, e);  // SSL_set_msg_callback_arg
    bool checked = setChecks(e->ssl, host, flags);
    o.ERR_clear_error();
    if (!checked) {
        release(e);
        return false;
    }
    link.engine = &kOpenSsl;
    link.state = e;
    link.recordRoom = kRecordRoom;
    return true;
}

}  // namespace posix
}  // namespace plat
