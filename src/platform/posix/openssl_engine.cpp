// OpenSSL as a secure link's engine. The engine's BIO is the link itself:
// reading takes ciphertext from the link's input, writing appends to its
// output, and neither ever waits, so each engine call returns as soon as it
// wants bytes the link does not hold yet. The end of the input is never
// shown to OpenSSL: what an end means (a cut, a reset) is the link's to
// decide, the same for every engine.
#include "openssl_engine.h"

#include <openssl/x509v3.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/cert_failure.h"

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
    char host[256] = {};       // the host the certificate must name, for its failure's words
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

// OpenSSL's own words for the first error in its queue ("wrong version
// number", "sslv3 alert handshake failure"); null when it holds none.
const char* queuedReason() {
    unsigned long code = openssl.ERR_peek_error();
    return code ? openssl.ERR_reason_error_string(code) : nullptr;
}

// Says why the engine failed at what: "<what>: <OpenSSL's words>".
void sayFailure(SecureLink& link, const char* what) {
    char text[sizeof link.reason];
    const char* said = queuedReason();
    if (said) std::snprintf(text, sizeof text, "%s: %s", what, said);
    else std::snprintf(text, sizeof text, "%s", what);
    secureFailed(link, text);
}

// "2020-01-31" from a certificate's date; empty when it cannot be read.
void dateOf(const ASN1_TIME* t, char* out, size_t size) {
    struct tm tm{};
    char text[48] = "";
    if (t && openssl.ASN1_TIME_to_tm(t, &tm) == 1)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday);
    std::snprintf(out, size, "%s", text);
}

// The hosts the certificate names in its subject alternative names: DNS
// names as written, addresses in their text form.
void namesOf(X509* cert, CertFailure& f) {
    const OpenSsl& o = openssl;
    auto* names = static_cast<GENERAL_NAMES*>(
        o.X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (!names) return;
    int count = o.OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(names));
    for (int i = 0; i < count; ++i) {
        auto* name = static_cast<const GENERAL_NAME*>(
            o.OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(names), i));
        if (!name) continue;
        const ASN1_STRING* value = name->type == GEN_DNS     ? name->d.dNSName
                                   : name->type == GEN_IPADD ? name->d.iPAddress
                                                             : nullptr;
        if (!value) continue;
        const unsigned char* bytes = o.ASN1_STRING_get0_data(value);
        int len = o.ASN1_STRING_length(value);
        if (name->type == GEN_DNS) {
            certAddName(f, reinterpret_cast<const char*>(bytes), static_cast<size_t>(len));
            continue;
        }
        certAddAddress(f, bytes, static_cast<size_t>(len));
    }
    o.GENERAL_NAMES_free(names);
}

// Why the check refused the server's certificate, sorted as every engine
// sorts it, with OpenSSL's verify result in its own words.
void sayCertificate(SecureLink& link, long verify) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    CertFailure f;
    std::snprintf(f.said, sizeof f.said, "%s", o.X509_verify_cert_error_string(verify));
    // The server's own certificate leads the chain it sent, kept also when
    // the check refused it.
    STACK_OF(X509)* chain = o.SSL_get_peer_cert_chain(e.ssl);
    X509* leaf = chain && o.OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(chain)) > 0
                     ? static_cast<X509*>(
                           o.OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(chain), 0))
                     : nullptr;
    switch (verify) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        f.problem = CertProblem::Expired;
        if (leaf) dateOf(o.X509_get0_notAfter(leaf), f.date, sizeof f.date);
        break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        f.problem = CertProblem::NotYetValid;
        if (leaf) dateOf(o.X509_get0_notBefore(leaf), f.date, sizeof f.date);
        break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        f.problem = CertProblem::Names;
        if (leaf) namesOf(leaf, f);
        break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        f.problem = CertProblem::Untrusted;
        break;
    default:
        f.problem = CertProblem::Other;
        break;
    }
    char text[sizeof link.reason];
    certFailureText(f, e.host, text, sizeof text);
    secureFailed(link, text);
}

SecureStep handshake(SecureLink& link, int* error) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    o.ERR_clear_error();
    int rc = o.SSL_do_handshake(e.ssl);
    int sslError = rc == 1 ? SSL_ERROR_NONE : o.SSL_get_error(e.ssl, rc);
    if (rc == 1) {
        o.ERR_clear_error();
        e.open = true;
        return SecureStep::Done;
    }
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
        o.ERR_clear_error();
        return SecureStep::More;
    }
    // The certificate, when it was checked and failed, or the handshake itself.
    bool checked = (o.SSL_get_verify_mode(e.ssl) & SSL_VERIFY_PEER) != 0;
    long verify = checked ? o.SSL_get_verify_result(e.ssl) : X509_V_OK;
    if (verify != X509_V_OK) {
        sayCertificate(link, verify);
        *error = kErrCertRejected;
    } else {
        sayFailure(link, "the handshake failed");
        *error = kErrSecureFailed;
    }
    o.ERR_clear_error();
    return SecureStep::Failed;
}

int encrypt(SecureLink& link, const char* data, int len) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    o.ERR_clear_error();
    int n = o.SSL_write(e.ssl, data, len < kRecordData ? len : kRecordData);
    // With room for a whole record, and renegotiation refused, the engine
    // has no reason to hold back: anything but a record is a failure.
    if (n <= 0) sayFailure(link, "a record could not be written");
    o.ERR_clear_error();
    return n > 0 ? n : -kErrSecureFailed;
}

SecureRead decrypt(SecureLink& link, int* error) {
    const OpenSsl& o = openssl;
    Engine& e = engineOf(link);
    o.ERR_clear_error();
    char byte;
    int n = o.SSL_peek(e.ssl, &byte, 1);
    int sslError = n > 0 ? SSL_ERROR_NONE : o.SSL_get_error(e.ssl, n);
    SecureRead read = SecureRead::Failed;
    if (e.renegotiate) {
        secureFailed(link, "the server asked for a renegotiation, which is refused: the "
                           "certificate it brings would go unchecked");
    } else if (n > 0) {
        read = SecureRead::Plaintext;
    } else if (sslError == SSL_ERROR_ZERO_RETURN) {
        read = SecureRead::Closed;
    } else if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
        read = SecureRead::More;
    } else {
        sayFailure(link, "a record could not be read");
    }
    o.ERR_clear_error();
    if (read == SecureRead::Failed) *error = kErrSecureFailed;
    return read;
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
    std::snprintf(e->host, sizeof e->host, "%s", host);
    link.engine = &kOpenSsl;
    link.state = e;
    link.recordRoom = kRecordRoom;
    return true;
}

}  // namespace posix
}  // namespace plat
