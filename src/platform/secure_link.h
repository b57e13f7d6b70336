// A secure socket's link: the part of TLS that does not depend on the engine,
// written once and compiled into both backends. The link owns the two
// ciphertext buffers, reads and writes the socket through its transport,
// keeps the flags, and decides every event the core sees (the rules are in
// platform.h, under "Secure sockets"). An engine (OpenSSL on POSIX,
// SChannel on Windows) only turns bytes: it runs the handshake over the
// link's buffers, encrypts plaintext into the outgoing one, decrypts the
// incoming one, queues the closing notice and checks the peer, and says why
// when one of them fails.
//
// The backend drives the link: secureConnected when TCP's connect has an
// outcome (or at once, for a socket that already speaks plaintext),
// secureRun when the socket may have bytes or room, or when secureDue says
// the link has something to tell without either; secureSend, secureRecv
// and secureClose for the core's calls. A poll-driven backend asks
// secureWantsRead and secureWantsWrite what to wait for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

struct SecureLink;

// ---- the engine -----------------------------------------------------------
// What a handshake step came to.
enum class SecureStep {
    Done,    // the handshake is over; the engine knows its record sizes
    More,    // it waits for ciphertext the input does not hold yet
    Failed,  // *error says why (kErrSecureFailed, kErrCertRejected)
};
// What a decrypt came to.
enum class SecureRead {
    Plaintext,  // plaintext is ready for take
    More,       // a record is incomplete, or there is none: more ciphertext is needed
    Closed,     // the peer's closing notice
    Failed,     // a broken or refused record; *error says why
};

// An engine's operations on a link; state is the engine's own record
// (SecureLink::state). Each takes ciphertext only from the link's input
// (secureInput, secureConsume) and puts it only into its output
// (secureOutput, secureQueued), and never waits.
struct SecureEngine {
    // One step of the handshake: consumes what it can of the input and
    // queues what it answers.
    SecureStep (*handshake)(SecureLink& link, int* error);
    // Once the handshake is done: 0 when the peer may be talked to, else
    // kErrCertRejected or kErrSecureFailed. Null for an engine that checks
    // the peer within its handshake.
    int (*verify)(SecureLink& link);
    // Encrypts up to len bytes of plaintext (len > 0) into one record at the
    // end of the output, where recordRoom bytes are free: the count taken,
    // or a negative error number.
    int (*encrypt)(SecureLink& link, const char* data, int len);
    // Decrypts the input until plaintext is ready, the peer closed, the
    // input runs out or a record fails; called only while none is held.
    SecureRead (*decrypt)(SecureLink& link, int* error);
    // Gives up to len bytes of the plaintext held; 0 when none is.
    int (*take)(SecureLink& link, char* buf, int len);
    bool (*holding)(const SecureLink& link);
    // Queues our closing notice in the output, as far as it fits.
    void (*closeNotice)(SecureLink& link);
    // Frees the engine's record (the link is going).
    void (*release)(void* state);
};

// ---- the socket under the link ----------------------------------------------
// The backend's side, ctx being its record of the socket. read and write
// give a count, or -1 with *error (kErrWouldBlock: not now); read gives 0
// at the peer's orderly end. post queues an event to the core's window,
// as the socket's own would be.
struct SecureTransport {
    int (*read)(void* ctx, char* buf, int len, int* error);
    int (*write)(void* ctx, const char* buf, int len, int* error);
    void (*post)(void* ctx, long event, int error);
};

enum class SecurePhase {
    Idle,         // made; TCP not up yet
    Handshaking,  // TCP stands, the handshake runs: the core waits for FD_CONNECT
    Open,         // handshake done and peer accepted: plaintext both ways
    Failed,       // the connect or the handshake failed, and the core was told
};

struct SecureLink {
    const SecureEngine* engine = nullptr;
    void* state = nullptr;  // the engine's record, released with the link
    const SecureTransport* transport = nullptr;
    void* ctx = nullptr;    // the backend's record, for the transport
    SecurePhase phase = SecurePhase::Idle;

    // Ciphertext received: [inStart, inLen) is the engine's still to read;
    // before inStart lies what it has read. An engine may decrypt in place
    // and hold its plaintext there: the link reads the socket, and so moves
    // the input, only while no plaintext is held.
    char* in = nullptr;
    size_t inCap = 0;
    size_t inStart = 0;
    size_t inLen = 0;
    // Ciphertext to send: [outSent, outLen) waits for the socket.
    char* out = nullptr;
    size_t outCap = 0;
    size_t outSent = 0;
    size_t outLen = 0;
    // The output room one record of the largest plaintext needs; a send
    // goes into the engine only when that much is free, so that what the
    // engine takes is encrypted at once and never offered again.
    size_t recordRoom = 0;

    bool inEnded = false;      // the socket's input has ended (orderly or failed)
    int inError = 0;           // ... with this error (a reset ...); 0: orderly
    int outError = 0;          // a write to the socket failed with this
    bool closeNotice = false;  // the peer's closing notice has been read
    int failure = 0;           // why the link stopped; 0 while it works

    bool readArmed = false;    // an FD_READ may be posted
    bool writeWanted = false;  // a send was refused: FD_WRITE when room comes
    bool closePosted = false;  // FD_CLOSE went to the core: nothing more to tell

    bool moved = false;        // bytes have crossed the socket ...
    uint32_t movedAt = 0;      // ... last at this tick (GetTickCount)

    // Why the link failed, one line: the engine's words for its certificate
    // check, its handshake or a record, or the link's own; empty while it
    // works. The first reason given stays.
    char reason[256] = {};
};

// The buffers' sizes of a real socket: each holds a whole handshake flight
// and several records.
constexpr size_t kSecureInSize = 64 * 1024;
constexpr size_t kSecureOutSize = 64 * 1024;

// ---- making and ending --------------------------------------------------------
// A link with buffers of the given sizes over transport; null when memory
// is short. Its engine is attached by the caller (engine, state,
// recordRoom) before it is connected.
SecureLink* secureLinkNew(const SecureTransport* transport, void* ctx, size_t inSize,
                          size_t outSize);
// Releases the engine's record and the link; null is ignored.
void secureLinkFree(SecureLink* link);
struct SecureLinkDelete {
    void operator()(SecureLink* link) const { secureLinkFree(link); }
};

// ---- the backend's calls ----------------------------------------------------------
// TCP's connect ended: error 0 starts the handshake, which runs as far as
// it can at once; any other error is posted as FD_CONNECT. Only from Idle.
void secureConnected(SecureLink& link, int error);
// The socket may have bytes (readable) or room (writable), or neither
// (the link was due): moves what can move and posts what the core is owed.
void secureRun(SecureLink& link, bool readable, bool writable);
// The link has an event to post that waits for no byte or room of the
// socket: the backend calls secureRun without waiting.
bool secureDue(const SecureLink& link);
bool secureWantsRead(const SecureLink& link);   // it would read the socket
bool secureWantsWrite(const SecureLink& link);  // bytes wait to go out
// send and recv of plaintext: a count, or -1 with *error as the socket's
// calls would set it.
int secureSend(SecureLink& link, const char* buf, int len, int* error);
int secureRecv(SecureLink& link, char* buf, int len, int* error);
// Before the socket is closed: our closing notice, as far as the socket
// takes it at once.
void secureClose(SecureLink& link);
// The socket was selected again, to the next exchange's window after one
// ended and kept it: plaintext that waits is told again, room is not.
void secureReselected(SecureLink& link);
// True while the link can carry more: no failure, no end of its input, no
// closing notice from the peer.
bool secureIdleOpen(const SecureLink& link);
// True, with the tick, once bytes have crossed the socket.
bool secureMoved(const SecureLink& link, uint32_t* tick);
// Why the link failed, copied into buf (cut to size, NUL-terminated); the
// length, 0 while it has not failed.
int secureReason(const SecureLink& link, char* buf, int size);

// ---- the engine's reasons ----------------------------------------------------------
// Says why the link fails, unless a reason is given already: an engine calls
// it before it answers Failed (or a verify error), in its own words; the
// link for the failures it sees itself.
void secureFailed(SecureLink& link, const char* reason);

// ---- the engine's access to the buffers ---------------------------------------------
// The input the engine has not read: *n bytes from the pointer.
char* secureInput(SecureLink& link, size_t* n);
// The engine has read n more bytes of the input.
void secureConsume(SecureLink& link, size_t n);
// Free room at the end of the output (made as large as it can be): *room
// bytes from the pointer.
char* secureOutput(SecureLink& link, size_t* room);
// The engine wrote n bytes at secureOutput's pointer.
void secureQueued(SecureLink& link, size_t n);
// Copies n bytes to the output whole; false when they do not fit.
bool secureQueue(SecureLink& link, const void* data, size_t n);

}  // namespace plat
