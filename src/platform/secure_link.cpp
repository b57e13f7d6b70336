// The secure socket's event rules over any engine: what is read from and
// written to the socket, and which of FD_CONNECT, FD_WRITE, FD_READ and
// FD_CLOSE the core gets, and when. The engine turns bytes; every decision
// about them is here. Nothing waits, and once the link is made nothing is
// allocated: ciphertext is read from the socket straight into the input
// buffer, as much as it has room for, and written straight from the output.
#include "platform/secure_link.h"

#include <climits>
#include <cstring>
#include <new>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace plat {

namespace {

int clampInt(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

void post(SecureLink& l, long event, int error) { l.transport->post(l.ctx, event, error); }

void noteMoved(SecureLink& l) {
    l.moved = true;
    l.movedAt = GetTickCount();
}

bool holding(const SecureLink& l) { return l.engine->holding(l); }

// A send or recv that fails: -1, and the error it sets.
int refuse(int* error, int e) {
    *error = e;
    return -1;
}

size_t unread(const SecureLink& l) { return l.inLen - l.inStart; }

// The input holds nothing but bytes the engine still has to read: a record
// that large can never be completed.
bool inputFull(const SecureLink& l) { return unread(l) >= l.inCap; }

// Moves the unread input to the front. Only while no plaintext is held,
// which may lie in what the engine has read.
void compactIn(SecureLink& l) {
    if (l.inStart == 0) return;
    std::memmove(l.in, l.in + l.inStart, unread(l));
    l.inLen -= l.inStart;
    l.inStart = 0;
}

void compactOut(SecureLink& l) {
    if (l.outSent == 0) return;
    std::memmove(l.out, l.out + l.outSent, l.outLen - l.outSent);
    l.outLen -= l.outSent;
    l.outSent = 0;
}

// Room for one more record, counting what compacting would free.
bool recordFits(const SecureLink& l) { return l.outCap - (l.outLen - l.outSent) >= l.recordRoom; }

// A send would be taken now, or would fail at once: either way the core may
// try it.
bool sendable(const SecureLink& l) { return l.failure || l.outError || recordFits(l); }

// Reads what the socket holds into the input, as far as it has room. The
// socket's end or failure is kept as the end of the input. True when
// something came, the end included. Never while plaintext is held: the
// input is moved to make room.
bool pullIn(SecureLink& l) {
    if (l.inEnded || holding(l)) return false;
    compactIn(l);
    bool got = false;
    while (l.inLen < l.inCap) {
        int space = clampInt(l.inCap - l.inLen);
        int error = 0;
        int n = l.transport->read(l.ctx, l.in + l.inLen, space, &error);
        if (n > 0) {
            l.inLen += static_cast<size_t>(n);
            got = true;
            noteMoved(l);
            if (n < space) break;  // the socket is empty for now
            continue;
        }
        if (n < 0 && error == kErrWouldBlock) break;
        l.inEnded = true;
        l.inError = n < 0 ? error : 0;
        got = true;
        break;
    }
    return got;
}

// Writes out what waits, as far as the socket takes it. False once a write
// has failed.
bool flush(SecureLink& l) {
    while (l.outSent < l.outLen && !l.outError) {
        int error = 0;
        int n = l.transport->write(l.ctx, l.out + l.outSent, clampInt(l.outLen - l.outSent), &error);
        if (n > 0) {
            l.outSent += static_cast<size_t>(n);
            noteMoved(l);
            continue;
        }
        if (n < 0 && error != kErrWouldBlock) l.outError = error;
        break;  // full for now: the socket's room will say when
    }
    if (l.outSent == l.outLen) l.outSent = l.outLen = 0;
    return l.outError == 0;
}

void failConnect(SecureLink& l, int error) {
    l.phase = SecurePhase::Failed;
    l.failure = error;
    post(l, kFdConnect, error);
}

void failConnect(SecureLink& l, int error, const char* reason) {
    secureFailed(l, reason);
    failConnect(l, error);
}

// The handshake is done: the engine's check of the peer decides whether the
// core hears of a connection or of a failure.
void opened(SecureLink& l) {
    int error = l.engine->verify ? l.engine->verify(l) : 0;
    // An engine whose record cannot fit the output could never take a send.
    if (!error && (l.recordRoom == 0 || l.recordRoom > l.outCap)) {
        secureFailed(l, "the TLS engine's records do not fit the link's buffer");
        error = kErrSecureFailed;
    }
    if (error) {
        failConnect(l, error);
        return;
    }
    l.phase = SecurePhase::Open;
    post(l, kFdConnect, 0);
    l.writeWanted = false;
    post(l, kFdWrite, 0);
    l.readArmed = true;
}

// Runs the handshake as far as the input and the socket allow.
void handshake(SecureLink& l) {
    for (;;) {
        int error = 0;
        SecureStep step = l.engine->handshake(l, &error);
        // What it answered goes out first, even an alert before a failure.
        bool sent = flush(l);
        if (step == SecureStep::Failed) {
            failConnect(l, error ? error : kErrSecureFailed, "the handshake failed");
            return;
        }
        if (!sent) {  // a handshake whose bytes cannot go out cannot finish
            failConnect(l, kErrSecureFailed, "the handshake could not be sent");
            return;
        }
        if (step == SecureStep::Done) {
            opened(l);
            return;
        }
        if (pullIn(l)) continue;
        // Cut off, reset, or a message larger than the input: no more will come.
        if (l.inEnded)
            failConnect(l, kErrSecureFailed, "the server ended the connection during the handshake");
        else if (inputFull(l))
            failConnect(l, kErrSecureFailed, "a handshake message of the server's is too large");
        return;
    }
}

// Makes plaintext, the closing notice or a failure known, as far as the
// input and the socket allow, without waiting.
void fill(SecureLink& l) {
    while (l.phase == SecurePhase::Open && !l.closeNotice && !l.failure && !holding(l)) {
        int error = 0;
        switch (l.engine->decrypt(l, &error)) {
        case SecureRead::Plaintext:
            return;
        case SecureRead::Closed:
            l.closeNotice = true;
            return;
        case SecureRead::Failed:
            secureFailed(l, "a record could not be read");
            l.failure = error ? error : kErrSecureFailed;
            return;
        case SecureRead::More:
            break;
        }
        // What the engine answered while reading goes out with the rest.
        flush(l);
        if (pullIn(l)) continue;
        // Ended without the closing notice: cut short, or reset.
        if (l.inEnded) {
            l.failure = l.inError ? l.inError : kErrSecureTruncated;
        } else if (inputFull(l)) {
            secureFailed(l, "a record of the server's is too large");
            l.failure = kErrSecureFailed;
        }
        return;
    }
}

// Posts what the core is owed now: room for a send it was refused,
// plaintext for a recv it is ready to make, and, once all plaintext is
// taken, the end.
void announce(SecureLink& l) {
    if (l.phase != SecurePhase::Open) return;
    if (l.writeWanted && sendable(l)) {
        l.writeWanted = false;
        post(l, kFdWrite, 0);
    }
    if (l.closePosted) return;
    if (holding(l)) {
        if (l.readArmed) {
            l.readArmed = false;
            post(l, kFdRead, 0);
        }
        return;
    }
    if (l.closeNotice || l.failure) {
        l.closePosted = true;
        post(l, kFdClose, l.closeNotice ? 0 : l.failure);
    }
}

}  // namespace

SecureLink* secureLinkNew(const SecureTransport* transport, void* ctx, size_t inSize,
                          size_t outSize) {
    SecureLink* l = new (std::nothrow) SecureLink;
    if (!l) return nullptr;
    l->in = new (std::nothrow) char[inSize];
    l->out = new (std::nothrow) char[outSize];
    if (!l->in || !l->out) {
        secureLinkFree(l);
        return nullptr;
    }
    l->inCap = inSize;
    l->outCap = outSize;
    l->transport = transport;
    l->ctx = ctx;
    return l;
}

void secureLinkFree(SecureLink* l) {
    if (!l) return;
    if (l->engine && l->state) l->engine->release(l->state);
    delete[] l->in;
    delete[] l->out;
    delete l;
}

void secureConnected(SecureLink& l, int error) {
    if (l.phase != SecurePhase::Idle) return;
    if (error) {
        failConnect(l, error);
        return;
    }
    l.phase = SecurePhase::Handshaking;
    secureRun(l, true, true);
}

void secureRun(SecureLink& l, bool readable, bool writable) {
    bool opening = l.phase == SecurePhase::Handshaking;
    if (opening) handshake(l);
    if (l.phase != SecurePhase::Open) return;
    if (writable) flush(l);
    // Bytes that came behind the handshake (a session ticket, the first
    // reply bytes) are read at once: the socket will not tell of them again.
    if (readable || opening) fill(l);
    announce(l);
}

bool secureDue(const SecureLink& l) {
    if (l.phase != SecurePhase::Open) return false;
    if (l.writeWanted && sendable(l)) return true;
    if (l.closePosted) return false;
    if (holding(l)) return l.readArmed;
    return l.closeNotice || l.failure;
}

bool secureWantsRead(const SecureLink& l) {
    if (l.inEnded || inputFull(l)) return false;
    if (l.phase == SecurePhase::Handshaking) return true;
    return l.phase == SecurePhase::Open && !l.closeNotice && !l.failure && !holding(l);
}

bool secureWantsWrite(const SecureLink& l) {
    bool running = l.phase == SecurePhase::Handshaking || l.phase == SecurePhase::Open;
    return running && l.outSent < l.outLen && !l.outError;
}

int secureSend(SecureLink& l, const char* buf, int len, int* error) {
    // Until the handshake is done nothing is taken; FD_WRITE follows its
    // FD_CONNECT.
    if (l.phase == SecurePhase::Handshaking) return refuse(error, kErrWouldBlock);
    if (l.phase != SecurePhase::Open) return refuse(error, l.failure ? l.failure : kErrNotConnected);
    if (l.failure) return refuse(error, l.failure);
    if (l.outError) return refuse(error, l.outError);
    if (len <= 0) return 0;
    // Into the engine only when the output can take a whole record: what is
    // taken is then encrypted at once and kept until the socket takes it,
    // and the core never has to offer the same bytes again.
    if (!recordFits(l)) {
        flush(l);
        if (l.outError) return refuse(error, l.outError);
        if (!recordFits(l)) {
            l.writeWanted = true;
            return refuse(error, kErrWouldBlock);
        }
    }
    if (l.outCap - l.outLen < l.recordRoom) compactOut(l);
    int n = l.engine->encrypt(l, buf, len);
    if (n <= 0) {
        secureFailed(l, "a record could not be written");
        l.failure = n < 0 ? -n : kErrSecureFailed;
        return refuse(error, l.failure);
    }
    flush(l);  // a failure shows at the next call
    return n;
}

int secureRecv(SecureLink& l, char* buf, int len, int* error) {
    if (l.phase == SecurePhase::Handshaking) return refuse(error, kErrWouldBlock);
    if (l.phase != SecurePhase::Open) return refuse(error, l.failure ? l.failure : kErrNotConnected);
    // Every receive lets the next FD_READ through.
    l.readArmed = true;
    if (len <= 0) return 0;
    if (!holding(l)) fill(l);
    if (holding(l)) {
        int n = l.engine->take(l, buf, len);
        if (n > 0) return n;
    }
    if (l.closeNotice) return 0;
    // Drained: the next plaintext is told by FD_READ, the end by FD_CLOSE.
    return refuse(error, l.failure ? l.failure : kErrWouldBlock);
}

void secureClose(SecureLink& l) {
    if (l.phase != SecurePhase::Open || l.failure || l.outError || l.inError) return;
    l.engine->closeNotice(l);
    flush(l);
}

bool secureMoved(const SecureLink& l, uint32_t* tick) {
    if (l.moved) *tick = l.movedAt;
    return l.moved;
}

int secureReason(const SecureLink& l, char* buf, int size) {
    if (!buf || size <= 0) return 0;
    int n = 0;
    for (; l.reason[n] && n < size - 1; ++n) buf[n] = l.reason[n];
    buf[n] = '\0';
    return n;
}

void secureFailed(SecureLink& l, const char* reason) {
    if (l.reason[0] || !reason) return;
    size_t n = 0;
    for (; reason[n] && n < sizeof l.reason - 1; ++n) l.reason[n] = reason[n];
    l.reason[n] = '\0';
}

char* secureInput(SecureLink& l, size_t* n) {
    *n = unread(l);
    return l.in + l.inStart;
}

void secureConsume(SecureLink& l, size_t n) { l.inStart += n < unread(l) ? n : unread(l); }

char* secureOutput(SecureLink& l, size_t* room) {
    if (l.outCap - l.outLen < l.recordRoom) compactOut(l);
    *room = l.outCap - l.outLen;
    return l.out + l.outLen;
}

void secureQueued(SecureLink& l, size_t n) {
    size_t room = l.outCap - l.outLen;
    l.outLen += n < room ? n : room;
}

bool secureQueue(SecureLink& l, const void* data, size_t n) {
    if (l.outCap - l.outLen < n) compactOut(l);
    if (l.outCap - l.outLen < n) return false;
    std::memcpy(l.out + l.outLen, data, n);
    l.outLen += n;
    return true;
}

void secureReselected(SecureLink& link) {
    link.writeWanted = false;
    link.readArmed = true;
}

bool secureIdleOpen(const SecureLink& link) {
    return !link.failure && !link.inEnded && !link.closeNotice && !link.closePosted &&
           !link.outError;
}

}  // namespace plat
