// Moving a secure socket's bytes over SChannel: the handshake, records
// encrypted into the outgoing buffer and decrypted in place in the incoming
// one, and the events the core sees. Those come from what SChannel made of
// the bytes (plaintext, the closing notice, a failure), never from the
// socket's own events, which only say that bytes or room have come. Once the
// handshake is done nothing is allocated.
#include <algorithm>
#include <cstring>

#include "tls_link.h"

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

// ---- the two buffers and the socket ----

void compactOut(TlsLink& link) {
    if (link.outSent == 0) return;
    std::memmove(link.out, link.out + link.outSent, link.outLen - link.outSent);
    link.outLen -= link.outSent;
    link.outSent = 0;
}

// Sends what waits, as far as the socket takes it (FD_WRITE comes when it
// can take more). False once the socket failed.
bool flushOut(TlsLink& link) {
    while (link.outSent < link.outLen && !link.rawError) {
        int n = ::send(link.s, link.out + link.outSent, static_cast<int>(link.outLen - link.outSent), 0);
        if (n == SOCKET_ERROR) {
            int e = ::WSAGetLastError();
            if (e == WSAEWOULDBLOCK) return true;
            link.rawError = e;
            break;
        }
        link.outSent += static_cast<size_t>(n);
    }
    if (link.outSent == link.outLen) link.outSent = link.outLen = 0;
    return !link.rawError;
}

bool queueOut(TlsLink& link, const void* data, size_t n) {
    compactOut(link);
    if (n > kTlsOut - link.outLen) return false;
    std::memcpy(link.out + link.outLen, data, n);
    link.outLen += n;
    return true;
}

// Decrypted bytes are dropped once their plaintext is taken.
void compactIn(TlsLink& link) {
    if (link.plainLen > 0 || link.inStart == 0) return;
    std::memmove(link.in, link.in + link.inStart, link.inLen - link.inStart);
    link.inLen -= link.inStart;
    link.inStart = 0;
    link.plain = nullptr;
}

// Reads from the socket into the incoming buffer, as far as it has room.
// True when bytes came; the socket's end or failure is noted.
bool pullIn(TlsLink& link) {
    if (link.rawEnd) return false;
    compactIn(link);
    if (link.inLen == kTlsIn) return false;
    int n = ::recv(link.s, link.in + link.inLen, static_cast<int>(kTlsIn - link.inLen), 0);
    if (n > 0) {
        link.inLen += static_cast<size_t>(n);
        return true;
    }
    int e = n == 0 ? 0 : ::WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return false;
    link.rawEnd = true;
    link.rawError = e;
    return false;
}

// The plaintext of one record that fits the outgoing buffer whole.
size_t recordData(const TlsLink& link) {
    size_t frame = link.sizes.cbHeader + link.sizes.cbTrailer;
    return std::min<size_t>(link.sizes.cbMaximumMessage, kTlsOut - frame);
}

bool roomForRecord(TlsLink& link) {
    compactOut(link);
    return kTlsOut - link.outLen >= link.sizes.cbHeader + recordData(link) + link.sizes.cbTrailer;
}

// ---- the handshake ----

enum class Step { Pending, Done, Failed };

// Runs InitializeSecurityContext over the bytes received so far, queueing
// and sending what it answers, until it waits for more or ends.
Step handshake(TlsLink& link) {
    for (int round = 0; round < 8; ++round) {
        bool first = !link.haveCtx;
        SecBuffer inBufs[2] = {};
        inBufs[0].BufferType = SECBUFFER_TOKEN;
        inBufs[0].pvBuffer = link.in;
        inBufs[0].cbBuffer = static_cast<ULONG>(link.inLen);
        inBufs[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBufs};
        SecBuffer outBuf{};
        outBuf.BufferType = SECBUFFER_TOKEN;
        SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
        ULONG attrs = 0;
        // No name for an address literal: it would go out as a server name.
        SECURITY_STATUS st = ::InitializeSecurityContextA(
            &link.cred, first ? nullptr : &link.ctx, link.address ? nullptr : link.host,
            kIscFlags, 0, 0, first ? nullptr : &inDesc, 0, &link.ctx, &outDesc, &attrs, nullptr);
        if (first && !FAILED(st)) link.haveCtx = true;
        bool queued = true;
        if (outBuf.pvBuffer) {
            // A failure's token is its alert: sent as far as it goes.
            if (outBuf.cbBuffer) queued = queueOut(link, outBuf.pvBuffer, outBuf.cbBuffer);
            ::FreeContextBuffer(outBuf.pvBuffer);
        }
        if (st == SEC_E_INCOMPLETE_MESSAGE)
            return link.inLen < kTlsIn && !link.rawEnd ? Step::Pending : Step::Failed;
        if (!first) {
            // What it did not use stays for the next round, at the front.
            size_t extra = inBufs[1].BufferType == SECBUFFER_EXTRA ? inBufs[1].cbBuffer : 0;
            std::memmove(link.in, link.in + link.inLen - extra, extra);
            link.inLen = extra;
        }
        bool sent = flushOut(link);
        if (FAILED(st) || !queued || !sent) return Step::Failed;
        if (st == SEC_E_OK) return Step::Done;
        // Asked for a client certificate: go on without one.
        if (st == SEC_I_INCOMPLETE_CREDENTIALS) continue;
        if (st != SEC_I_CONTINUE_NEEDED) return Step::Failed;
        if (link.inLen == 0) return link.rawEnd ? Step::Failed : Step::Pending;
    }
    return Step::Failed;
}

// The first handshake is done: the certificate, the protocol and the record
// sizes decide whether the core hears of a connection or of a failure.
void opened(TlsLink& link) {
    int error = (link.flags & kSecureNoVerify) ? 0 : tlsCheckCertificate(link);
    SecPkgContext_ConnectionInfo info{};
    if (!error && (::QueryContextAttributesA(&link.ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
                   (info.dwProtocol & kOldProtocols)))
        error = kErrSecureFailed;
    if (!error && (::QueryContextAttributesA(&link.ctx, SECPKG_ATTR_STREAM_SIZES, &link.sizes) != SEC_E_OK ||
                   link.sizes.cbHeader + link.sizes.cbTrailer + 1024 > kTlsOut))
        error = kErrSecureFailed;
    if (error) {
        link.phase = Phase::Failed;
        link.failure = error;
        tlsPost(link, FD_CONNECT, error);
        return;
    }
    link.phase = Phase::Open;
    tlsPost(link, FD_CONNECT, 0);
    tlsPost(link, FD_WRITE, 0);
    link.readArmed = true;
}

// Advances the handshake: the first one ends in opened(); one the peer asks
// for later goes back to Open unseen, or fails the link.
void advanceHandshake(TlsLink& link) {
    Step step = handshake(link);
    if (step == Step::Pending) return;
    if (link.again) {
        link.again = false;
        link.phase = Phase::Open;
        if (step == Step::Failed) link.failure = kErrSecureFailed;
        return;
    }
    if (step == Step::Done) {
        opened(link);
        return;
    }
    link.phase = Phase::Failed;
    link.failure = kErrSecureFailed;
    tlsPost(link, FD_CONNECT, kErrSecureFailed);
}

// ---- records ----

enum class Got { Plaintext, More, Ended, Again, Broken };

// Decrypts the bytes at hand until a record gives plaintext or more bytes
// are needed; only while no plaintext waits.
Got decrypt(TlsLink& link) {
    for (;;) {
        compactIn(link);
        if (link.inLen == 0) return Got::More;
        SecBuffer b[4] = {};
        b[0].BufferType = SECBUFFER_DATA;
        b[0].pvBuffer = link.in;
        b[0].cbBuffer = static_cast<ULONG>(link.inLen);
        b[1].BufferType = b[2].BufferType = b[3].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        SECURITY_STATUS st = ::DecryptMessage(&link.ctx, &desc, 0, nullptr);
        if (st == SEC_E_INCOMPLETE_MESSAGE) return link.inLen < kTlsIn ? Got::More : Got::Broken;
        SecBuffer* data = nullptr;
        size_t extra = 0;
        for (int i = 1; i < 4; ++i) {
            if (b[i].BufferType == SECBUFFER_DATA) data = &b[i];
            if (b[i].BufferType == SECBUFFER_EXTRA) extra = b[i].cbBuffer;
        }
        if (st == SEC_I_CONTEXT_EXPIRED) {
            link.closeNotice = true;
            return Got::Ended;
        }
        if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE) return Got::Broken;
        // The record is used; what follows it is decrypted next.
        link.inStart = link.inLen - extra;
        if (st == SEC_I_RENEGOTIATE) return Got::Again;
        if (data && data->cbBuffer > 0) {
            link.plain = static_cast<char*>(data->pvBuffer);
            link.plainLen = data->cbBuffer;
            return Got::Plaintext;
        }
        // A record without plaintext: on to the next.
    }
}

// Makes plaintext, the closing notice or a failure known, as far as the
// bytes at hand and the socket allow, without waiting.
void fill(TlsLink& link) {
    while (link.phase == Phase::Open && link.plainLen == 0 && !link.closeNotice && !link.failure) {
        switch (decrypt(link)) {
        case Got::Plaintext:
        case Got::Ended:
            return;
        case Got::Broken:
            link.failure = kErrSecureFailed;
            return;
        case Got::Again:
            // The peer wants handshake messages read (a new session
            // ticket, or a new handshake): they are the bytes after the record.
            compactIn(link);
            link.phase = Phase::Handshaking;
            link.again = true;
            advanceHandshake(link);
            break;
        case Got::More:
            if (pullIn(link)) break;
            // Ended without the closing notice: cut short, or reset.
            if (link.rawEnd) link.failure = link.rawError ? link.rawError : kErrSecureTruncated;
            return;
        }
    }
}

// Tells the core what has changed: room for a send it was refused, plaintext
// for a recv it is ready to make, and once all plaintext is taken, the end.
void announce(TlsLink& link) {
    if (link.phase != Phase::Open) return;
    if (link.writeWanted && (link.failure || link.rawError || roomForRecord(link))) {
        link.writeWanted = false;
        tlsPost(link, FD_WRITE, 0);
    }
    if (link.closePosted) return;
    if (link.plainLen > 0) {
        if (link.readArmed) {
            link.readArmed = false;
            tlsPost(link, FD_READ, 0);
        }
        return;
    }
    if (link.closeNotice || link.failure) {
        link.closePosted = true;
        tlsPost(link, FD_CLOSE, link.closeNotice ? 0 : link.failure);
    }
}

}  // namespace

void tlsSocketEvent(TlsLink& link, int event, int error) {
    switch (link.phase) {
    case Phase::Idle:
    case Phase::Failed:
        return;
    case Phase::Connecting:
        if (event != FD_CONNECT) return;
        if (error) {
            link.phase = Phase::Failed;
            tlsPost(link, FD_CONNECT, error);
            return;
        }
        link.phase = Phase::Handshaking;
        advanceHandshake(link);
        break;
    case Phase::Handshaking:
        if (event == FD_WRITE) flushOut(link);
        while (pullIn(link)) {
        }
        advanceHandshake(link);
        // Bytes that came behind the handshake (a session ticket) are read
        // at once: no event of the socket's own will tell of them again.
        if (link.phase == Phase::Open) fill(link);
        break;
    case Phase::Open:
        flushOut(link);
        if (event == FD_READ || event == FD_CLOSE) fill(link);
        break;
    }
    announce(link);
}

int tlsSend(TlsLink& link, const char* buf, int len) {
    if (link.failure) return tlsFail(link.failure);
    if (link.rawError) return tlsFail(link.rawError);
    if (link.phase != Phase::Open) {
        if (!link.again) return tlsFail(WSAENOTCONN);
        link.writeWanted = true;
        return tlsFail(WSAEWOULDBLOCK);
    }
    if (len <= 0) return len == 0 ? 0 : tlsFail(WSAEINVAL);
    // One record at a time, encrypted only when it fits whole: what is taken
    // stays here until the socket takes it, and is never offered again.
    size_t n = std::min<size_t>(static_cast<size_t>(len), recordData(link));
    size_t header = link.sizes.cbHeader;
    if (!roomForRecord(link) && (!flushOut(link) || !roomForRecord(link))) {
        if (link.rawError) return tlsFail(link.rawError);
        link.writeWanted = true;
        return tlsFail(WSAEWOULDBLOCK);
    }
    char* at = link.out + link.outLen;
    std::memcpy(at + header, buf, n);
    SecBuffer b[4] = {};
    b[0].BufferType = SECBUFFER_STREAM_HEADER;
    b[0].pvBuffer = at;
    b[0].cbBuffer = link.sizes.cbHeader;
    b[1].BufferType = SECBUFFER_DATA;
    b[1].pvBuffer = at + header;
    b[1].cbBuffer = static_cast<ULONG>(n);
    b[2].BufferType = SECBUFFER_STREAM_TRAILER;
    b[2].pvBuffer = at + header + n;
    b[2].cbBuffer = link.sizes.cbTrailer;
    b[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    if (::EncryptMessage(&link.ctx, 0, &desc, 0) != SEC_E_OK) {
        link.failure = kErrSecureFailed;
        return tlsFail(link.failure);
    }
    link.outLen += b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
    flushOut(link);  // a failure shows at the next call
    return static_cast<int>(n);
}

int tlsRecv(TlsLink& link, char* buf, int len) {
    if (link.phase != Phase::Open) {
        if (!link.again) return tlsFail(link.failure ? link.failure : WSAENOTCONN);
        link.readArmed = true;
        return tlsFail(WSAEWOULDBLOCK);
    }
    if (len <= 0) return len == 0 ? 0 : tlsFail(WSAEINVAL);
    if (link.plainLen == 0) fill(link);
    if (link.plainLen > 0) {
        size_t n = std::min<size_t>(static_cast<size_t>(len), link.plainLen);
        std::memcpy(buf, link.plain, n);
        link.plain += n;
        link.plainLen -= n;
        return static_cast<int>(n);
    }
    // Drained: the next plaintext is told by FD_READ, the end by FD_CLOSE.
    link.readArmed = true;
    announce(link);
    if (link.closeNotice) return 0;
    // Set last: every system call in between may change the thread's error.
    return tlsFail(link.failure ? link.failure : WSAEWOULDBLOCK);
}

void tlsSendNotice(TlsLink& link) {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&link.ctx, &controlDesc) != SEC_E_OK) return;
    SecBuffer outBuf{};
    outBuf.BufferType = SECBUFFER_TOKEN;
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
    ULONG attrs = 0;
    SECURITY_STATUS st = ::InitializeSecurityContextA(
        &link.cred, &link.ctx, link.address ? nullptr : link.host, kIscFlags, 0, 0, nullptr, 0,
        &link.ctx, &outDesc, &attrs, nullptr);
    if (outBuf.pvBuffer) {
        if (!FAILED(st) && outBuf.cbBuffer && queueOut(link, outBuf.pvBuffer, outBuf.cbBuffer))
            flushOut(link);
        ::FreeContextBuffer(outBuf.pvBuffer);
    }
}

}  // namespace win
}  // namespace plat
