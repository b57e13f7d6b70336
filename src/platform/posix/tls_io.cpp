// Moving a secure socket's bytes: ciphertext between the socket and the
// engine's two rings, plaintext between the engine and the caller. Nothing
// here waits and nothing is allocated: bytes are read from the socket
// straight into the incoming ring, only as many as it has room for, and
// written to the socket straight from the outgoing one.
#include <errno.h>
#include <sys/socket.h>

#include "openssl_api.h"
#include "posix_internal.h"
#include "tls_link.h"

namespace plat {
namespace posix {

namespace {

constexpr int kErrNotConnected = 10057;  // send or recv before the handshake is done

// Reads what the socket holds into the incoming ring, as far as the ring has
// room. The socket's end (or failure) is handed to the engine as the end of
// its input. True when something came, the end included.
bool pullIn(SockRec& r) {
    TlsLink& link = *r.tls;
    bool got = false;
    while (!link.eofIn) {
        char* room = nullptr;
        int space = openssl.BIO_nwrite0(link.net, &room);
        if (space <= 0) break;
        ssize_t n;
        do {
            n = ::recv(r.fd, room, static_cast<size_t>(space), 0);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            openssl.BIO_nwrite(link.net, &room, static_cast<int>(n));
            got = true;
            if (n < space) break;  // the socket is empty for now
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0) link.rawError = errorFromErrno(errno);
        openssl.BIO_ctrl(link.net, BIO_C_SHUTDOWN_WR, 0, nullptr);  // BIO_shutdown_wr
        link.eofIn = true;
        got = true;
    }
    return got;
}

// Why the engine stopped, kept for every later call. In the handshake that
// is the certificate (when it was checked and failed) or the handshake
// itself; afterwards an input that ended mid-stream is a cut, not a broken
// record, and a reset keeps its own number.
int stopped(TlsLink& link, int sslError, bool handshake) {
    unsigned long queued = openssl.ERR_peek_error();
    int why = kErrSecureFailed;
    if (handshake) {
        if ((openssl.SSL_get_verify_mode(link.ssl) & SSL_VERIFY_PEER) &&
            openssl.SSL_get_verify_result(link.ssl) != X509_V_OK)
            why = kErrCertRejected;
    } else if (link.eofIn &&
               (sslError == SSL_ERROR_SYSCALL ||
                ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        why = link.rawError ? link.rawError : kErrSecureTruncated;
    }
    openssl.ERR_clear_error();
    link.failure = why;
    return why;
}

}  // namespace

bool tlsFlush(SockRec& r) {
    TlsLink& link = *r.tls;
    while (!link.rawError) {
        char* data = nullptr;
        int n = openssl.BIO_nread0(link.net, &data);
        if (n <= 0) return true;
        ssize_t k;
        do {
            k = ::send(r.fd, data, static_cast<size_t>(n), MSG_NOSIGNAL);
        } while (k < 0 && errno == EINTR);
        if (k < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            link.rawError = errorFromErrno(errno);
            break;
        }
        openssl.BIO_nread(link.net, &data, static_cast<int>(k));
        if (k < n) return true;
    }
    return false;
}

bool tlsOutPending(const SockRec& r) { return openssl.BIO_ctrl_pending(r.tls->net) > 0; }

bool tlsCanSend(const SockRec& r) {
    const TlsLink& link = *r.tls;
    // A send that would fail at once does not wait either.
    if (link.failure || link.rawError) return true;
    return openssl.BIO_ctrl_get_write_guarantee(openssl.SSL_get_wbio(link.ssl)) >= kTlsRecordRoom;
}

bool tlsRoomIn(const SockRec& r) {
    const TlsLink& link = *r.tls;
    return !link.eofIn && openssl.BIO_ctrl_get_write_guarantee(link.net) > 0;
}

bool tlsBuffered(const SockRec& r) {
    const TlsLink& link = *r.tls;
    if (link.failure || link.closeNotice) return false;
    return link.eofIn || openssl.SSL_pending(link.ssl) > 0 ||
           openssl.BIO_ctrl_pending(openssl.SSL_get_rbio(link.ssl)) > 0;
}

TlsStep tlsHandshake(SockRec& r, bool readable, int* error) {
    TlsLink& link = *r.tls;
    if (readable) pullIn(r);
    openssl.ERR_clear_error();
    int rc = openssl.SSL_do_handshake(link.ssl);
    int sslError = rc == 1 ? SSL_ERROR_NONE : openssl.SSL_get_error(link.ssl, rc);
    bool flushed = tlsFlush(r);
    if (rc == 1 && flushed) return TlsStep::Done;
    if (flushed && (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE))
        return TlsStep::Pending;
    *error = stopped(link, sslError, true);
    return TlsStep::Failed;
}

TlsProbe tlsProbe(SockRec& r, bool readable, int* error) {
    TlsLink& link = *r.tls;
    if (link.closeNotice) return TlsProbe::Closed;
    if (!link.failure) {
        if (readable) pullIn(r);
        openssl.ERR_clear_error();
        char byte;
        int n = openssl.SSL_peek(link.ssl, &byte, 1);
        if (n > 0) return TlsProbe::Plaintext;
        int sslError = openssl.SSL_get_error(link.ssl, n);
        if (sslError == SSL_ERROR_ZERO_RETURN) {
            link.closeNotice = true;
            return TlsProbe::Closed;
        }
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            tlsFlush(r);
            return TlsProbe::Nothing;
        }
        stopped(link, sslError, false);
    }
    *error = link.failure;
    return TlsProbe::Failed;
}

int tlsSend(SockRec& r, const char* buf, int len) {
    TlsLink& link = *r.tls;
    if (r.link != Link::Connected) return fail(link.failure ? link.failure : kErrNotConnected);
    if (link.failure) return fail(link.failure);
    if (link.rawError) return fail(link.rawError);
    if (len == 0) return 0;
    // Into the engine only when the outgoing ring can take a whole record:
    // what is taken is then encrypted at once and kept until the socket
    // takes it, and the caller never has to offer the same bytes again.
    if (!tlsCanSend(r) && (!tlsFlush(r) || !tlsCanSend(r))) {
        if (link.rawError) return fail(link.rawError);
        r.writeWanted = true;
        return fail(kErrWouldBlock);
    }
    openssl.ERR_clear_error();
    int n = openssl.SSL_write(link.ssl, buf, len < kTlsRecordData ? len : kTlsRecordData);
    if (n > 0) return n;
    int sslError = openssl.SSL_get_error(link.ssl, n);
    if (sslError == SSL_ERROR_WANT_WRITE || sslError == SSL_ERROR_WANT_READ) {
        openssl.ERR_clear_error();
        r.writeWanted = true;
        return fail(kErrWouldBlock);
    }
    return fail(stopped(link, sslError, false));
}

int tlsRecv(SockRec& r, char* buf, int len) {
    TlsLink& link = *r.tls;
    if (r.link != Link::Connected) return fail(link.failure ? link.failure : kErrNotConnected);
    if (link.closeNotice) return 0;
    if (link.failure) return fail(link.failure);
    if (len == 0) return 0;
    for (;;) {
        openssl.ERR_clear_error();
        int n = openssl.SSL_read(link.ssl, buf, len);
        if (n > 0) return n;
        int sslError = openssl.SSL_get_error(link.ssl, n);
        if (sslError == SSL_ERROR_ZERO_RETURN) {
            link.closeNotice = true;
            return 0;
        }
        if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
            // What the engine wrote (a reply it owes the peer) goes out; on
            // a read it wants more of the socket's bytes, or there are none.
            tlsFlush(r);
            if (sslError == SSL_ERROR_WANT_READ && pullIn(r)) continue;
            openssl.ERR_clear_error();
            return fail(kErrWouldBlock);
        }
        return fail(stopped(link, sslError, false));
    }
}

void tlsClose(SockRec& r) {
    TlsLink& link = *r.tls;
    if (r.link != Link::Connected || link.failure || link.rawError) return;
    openssl.ERR_clear_error();
    openssl.SSL_shutdown(link.ssl);  // our close_notify, into the ring
    openssl.ERR_clear_error();
    tlsFlush(r);
}

}  // namespace posix
}  // namespace plat
