// SChannel as a secure link's engine: the handshake's tokens taken from and
// queued to the link's buffers, records encrypted into the output and
// decrypted in place in the input, where their plaintext stays until it is
// taken. Credentials ask for TLS 1.2 or newer and no automatic check: the
// backend checks the certificate itself (tls_check.cpp).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "tls_socket.h"

namespace plat {
namespace win {

namespace {

constexpr ULONG kIscFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                            ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                            ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                            ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
// Protocols older than TLS 1.2: the credentials allow none, and a context
// that reports one anyway is refused.
constexpr DWORD kOldProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

Schannel& engineOf(const SecureLink& link) { return *static_cast<Schannel*>(link.state); }

// Says why the engine failed at what: "<what>: <the system's words for st>".
void sayFailure(SecureLink& link, const char* what, SECURITY_STATUS st) {
    char said[200], text[sizeof link.reason];
    if (systemWords(static_cast<unsigned long>(st), said, sizeof said) > 0)
        std::snprintf(text, sizeof text, "%s: %s", what, said);
    else
        std::snprintf(text, sizeof text, "%s: status 0x%lx", what, static_cast<unsigned long>(st));
    secureFailed(link, text);
}

// No name for an address literal: it would go out as a server name.
char* targetName(const Schannel& e) { return e.address.family ? nullptr : e.host; }

// The plaintext of one record that fits the link's output whole.
size_t recordData(const SecureLink& link, const Schannel& e) {
    size_t frame = e.sizes.cbHeader + e.sizes.cbTrailer;
    return std::min<size_t>(e.sizes.cbMaximumMessage, link.outCap - frame);
}

// One InitializeSecurityContext over the input: what it answers is queued
// (false in *queued when it did not fit), what it read is consumed.
SECURITY_STATUS exchange(SecureLink& link, Schannel& e, bool* queued) {
    bool first = !e.haveCtx;
    size_t have = 0;
    char* in = secureInput(link, &have);
    SecBuffer inBufs[2] = {};
    inBufs[0].BufferType = SECBUFFER_TOKEN;
    inBufs[0].pvBuffer = in;
    inBufs[0].cbBuffer = static_cast<ULONG>(have);
    inBufs[1].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBufs};
    SecBuffer outBuf{};
    outBuf.BufferType = SECBUFFER_TOKEN;
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
    ULONG attrs = 0;
    SECURITY_STATUS st = ::InitializeSecurityContextA(
        &e.cred, first ? nullptr : &e.ctx, targetName(e), kIscFlags, 0, 0,
        first ? nullptr : &inDesc, 0, &e.ctx, &outDesc, &attrs, nullptr);
    if (first && !FAILED(st)) e.haveCtx = true;
    *queued = true;
    if (outBuf.pvBuffer) {
        // A failure's token is its alert: it goes out as far as it goes.
        if (outBuf.cbBuffer) *queued = secureQueue(link, outBuf.pvBuffer, outBuf.cbBuffer);
        ::FreeContextBuffer(outBuf.pvBuffer);
    }
    if (st == SEC_E_INCOMPLETE_MESSAGE || first) return st;
    // What it did not use stays for the next call.
    size_t extra = inBufs[1].BufferType == SECBUFFER_EXTRA ? inBufs[1].cbBuffer : 0;
    secureConsume(link, have - std::min(extra, have));
    return st;
}

// Runs the exchanges over the bytes at hand until SChannel waits for more
// or ends.
SecureStep handshake(SecureLink& link, int* error) {
    Schannel& e = engineOf(link);
    *error = kErrSecureFailed;
    for (int round = 0; round < 8; ++round) {
        bool queued = true;
        SECURITY_STATUS st = exchange(link, e, &queued);
        if (st == SEC_E_INCOMPLETE_MESSAGE) return SecureStep::More;
        if (FAILED(st)) {
            sayFailure(link, "the handshake failed", st);
            return SecureStep::Failed;
        }
        if (!queued) return SecureStep::Failed;
        if (st == SEC_E_OK) {
            // The record sizes: a send is one record that fits the output whole.
            if (::QueryContextAttributesA(&e.ctx, SECPKG_ATTR_STREAM_SIZES, &e.sizes) != SEC_E_OK ||
                e.sizes.cbHeader + e.sizes.cbTrailer + 1024 > link.outCap)
                return SecureStep::Failed;
            link.recordRoom = e.sizes.cbHeader + recordData(link, e) + e.sizes.cbTrailer;
            return SecureStep::Done;
        }
        // Asked for a client certificate: go on without one.
        if (st == SEC_I_INCOMPLETE_CREDENTIALS) continue;
        if (st != SEC_I_CONTINUE_NEEDED) return SecureStep::Failed;
        size_t have = 0;
        secureInput(link, &have);
        if (have == 0) return SecureStep::More;
    }
    return SecureStep::Failed;
}

// The handshake is done: the certificate (unless the checks are off) and
// the protocol decide whether the core hears of a connection.
int verify(SecureLink& link) {
    Schannel& e = engineOf(link);
    char reason[sizeof link.reason] = "";
    int error = (e.flags & kSecureNoVerify) ? 0 : tlsCheckCertificate(e, reason, sizeof reason);
    if (error) secureFailed(link, reason);
    SecPkgContext_ConnectionInfo info{};
    if (!error && (::QueryContextAttributesA(&e.ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
                   (info.dwProtocol & kOldProtocols))) {
        secureFailed(link, "the server agreed on a protocol older than TLS 1.2");
        error = kErrSecureFailed;
    }
    e.tls13 = (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
    return error;
}

int encrypt(SecureLink& link, const char* data, int len) {
    Schannel& e = engineOf(link);
    size_t room = 0;
    char* at = secureOutput(link, &room);
    size_t n = std::min<size_t>(static_cast<size_t>(len), recordData(link, e));
    size_t header = e.sizes.cbHeader;
    if (room < header + n + e.sizes.cbTrailer) return -kErrSecureFailed;  // the link keeps room
    std::memcpy(at + header, data, n);
    SecBuffer b[4] = {};
    b[0].BufferType = SECBUFFER_STREAM_HEADER;
    b[0].pvBuffer = at;
    b[0].cbBuffer = e.sizes.cbHeader;
    b[1].BufferType = SECBUFFER_DATA;
    b[1].pvBuffer = at + header;
    b[1].cbBuffer = static_cast<ULONG>(n);
    b[2].BufferType = SECBUFFER_STREAM_TRAILER;
    b[2].pvBuffer = at + header + n;
    b[2].cbBuffer = e.sizes.cbTrailer;
    b[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    SECURITY_STATUS st = ::EncryptMessage(&e.ctx, 0, &desc, 0);
    if (st != SEC_E_OK) {
        sayFailure(link, "a record could not be written", st);
        return -kErrSecureFailed;
    }
    secureQueued(link, b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
    return static_cast<int>(n);
}

// Decrypts records in place until one gives plaintext, more bytes are
// needed, the peer closes or a record fails.
SecureRead decrypt(SecureLink& link, int* error) {
    Schannel& e = engineOf(link);
    *error = kErrSecureFailed;
    for (;;) {
        if (e.afterHandshake) {
            // TLS 1.3's messages after the handshake go to the handshake's
            // call, which may answer them (a key update).
            bool queued = true;
            SECURITY_STATUS st = exchange(link, e, &queued);
            if (st == SEC_E_INCOMPLETE_MESSAGE) return SecureRead::More;
            if (FAILED(st)) sayFailure(link, "a message after the handshake could not be read", st);
            if (FAILED(st) || !queued) return SecureRead::Failed;
            size_t have = 0;
            secureInput(link, &have);
            if (st == SEC_I_CONTINUE_NEEDED && have == 0) return SecureRead::More;
            if (st != SEC_I_CONTINUE_NEEDED) e.afterHandshake = false;
            continue;
        }
        size_t have = 0;
        char* in = secureInput(link, &have);
        if (have == 0) return SecureRead::More;
        SecBuffer b[4] = {};
        b[0].BufferType = SECBUFFER_DATA;
        b[0].pvBuffer = in;
        b[0].cbBuffer = static_cast<ULONG>(have);
        b[1].BufferType = b[2].BufferType = b[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS st = ::DecryptMessage(&e.ctx, &desc, 0, nullptr);
        if (st == SEC_E_INCOMPLETE_MESSAGE) return SecureRead::More;
        if (st == SEC_I_CONTEXT_EXPIRED) return SecureRead::Closed;
        if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE) {
            sayFailure(link, "a record could not be read", st);
            return SecureRead::Failed;
        }
        SecBuffer* data = nullptr;
        size_t extra = 0;
        for (int i = 1; i < 4; ++i) {
            if (b[i].BufferType == SECBUFFER_DATA) data = &b[i];
            if (b[i].BufferType == SECBUFFER_EXTRA) extra = b[i].cbBuffer;
        }
        // The record is read; what follows it is decrypted next.
        secureConsume(link, have - std::min(extra, have));
        if (st == SEC_I_RENEGOTIATE) {
            // TLS 1.2: the server asks for a new handshake, whose certificate
            // would never be checked: refused. TLS 1.3 has no renegotiation;
            // there it means messages after the handshake (a ticket, a key
            // update), which are read and the records go on.
            if (!e.tls13) {
                secureFailed(link, "the server asked for a renegotiation, which is refused: the "
                                   "certificate it brings would go unchecked");
                return SecureRead::Failed;
            }
            e.afterHandshake = true;
            continue;
        }
        if (data && data->cbBuffer > 0) {
            e.plain = static_cast<char*>(data->pvBuffer);
            e.plainLen = data->cbBuffer;
            return SecureRead::Plaintext;
        }
        // A record without plaintext: on to the next.
    }
}

int take(SecureLink& link, char* buf, int len) {
    Schannel& e = engineOf(link);
    size_t n = std::min<size_t>(static_cast<size_t>(len), e.plainLen);
    std::memcpy(buf, e.plain, n);
    e.plain += n;
    e.plainLen -= n;
    return static_cast<int>(n);
}

bool holding(const SecureLink& link) { return engineOf(link).plainLen > 0; }

void closeNotice(SecureLink& link) {
    Schannel& e = engineOf(link);
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&e.ctx, &controlDesc) != SEC_E_OK) return;
    SecBuffer outBuf{};
    outBuf.BufferType = SECBUFFER_TOKEN;
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
    ULONG attrs = 0;
    SECURITY_STATUS st = ::InitializeSecurityContextA(&e.cred, &e.ctx, targetName(e), kIscFlags, 0,
                                                      0, nullptr, 0, &e.ctx, &outDesc, &attrs, nullptr);
    if (outBuf.pvBuffer) {
        if (!FAILED(st) && outBuf.cbBuffer) secureQueue(link, outBuf.pvBuffer, outBuf.cbBuffer);
        ::FreeContextBuffer(outBuf.pvBuffer);
    }
}

void release(void* state) {
    Schannel* e = static_cast<Schannel*>(state);
    if (e->haveCtx) ::DeleteSecurityContext(&e->ctx);
    if (e->haveCred) ::FreeCredentialsHandle(&e->cred);
    delete[] e->host;
    delete e;
}

const SecureEngine kSchannel = {handshake, verify,  encrypt,     decrypt,
                                take,      holding, closeNotice, release};

// TLS 1.2 and 1.3 where the system has both, else 1.2 alone; a system
// without 1.2 has no credentials to give, and the exchange ends with 7.
bool acquireCredentials(Schannel& e) {
    for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                            DWORD(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = protocols;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        SECURITY_STATUS st = ::AcquireCredentialsHandleA(
            nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &cred,
            nullptr, nullptr, &e.cred, nullptr);
        if (st == SEC_E_OK) return e.haveCred = true;
    }
    return false;
}

}  // namespace

int attachSchannel(SecureLink& link, const char* host, int flags) {
    Schannel* e = new (std::nothrow) Schannel;
    if (!e) return WSAENOBUFS;
    size_t n = std::strlen(host);
    e->host = new (std::nothrow) char[n + 1];
    if (!e->host) {
        release(e);
        return WSAENOBUFS;
    }
    std::memcpy(e->host, host, n + 1);
    e->flags = flags;
    addressLiteral(host, n, &e->address);
    if (!acquireCredentials(*e)) {
        release(e);
        return kErrSecureFailed;
    }
    link.engine = &kSchannel;
    link.state = e;
    return 0;
}

}  // namespace win
}  // namespace plat
