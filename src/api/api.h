// The library surface: start-up, the window class, a call's record and the
// driver that runs it as a sequence of exchanges.
#pragma once

#include <cstddef>

#include "api/options.h"
#include "api/proxy.h"
#include "platform/platform.h"
#include "request/challenge.h"
#include "request/request.h"
#include "transfer/transfer.h"

namespace quodra {

constexpr const char* WINDOW_CLASS = "QuodraWndClass";

// The most exchanges one call runs: a bound on the sequence however its
// replies answer (sequence.cpp says how they count).
constexpr int MAX_EXCHANGES = 32;

// Module instance handle, kept at load.
extern plat::Instance hDllInst;

// What a call knows of answering its first origin's challenges with the
// credentials of its URL.
struct Answering {
    Challenge challenge;  // the one the next exchanges answer; scheme None: none known
    uint32_t nc;          // Digest with qop: the nonce count last sent with it
    bool cached;          // it is the one the process's cache keeps for the origin,
                          // which gives out its next nonce count
    bool mayAnswer;       // the exchange under way goes where the credentials may
    bool sent;            // ... and carries them
    int answered;         // fresh challenges of a 401 answered (at most one)
    int staleRetried;     // answers made again after a nonce called stale (at most one)
};

// One call of the library, as the caller made it, from its start to its
// return. Its texts are the caller's, borrowed for as long as the call runs;
// what the call owns is released by endCall.
struct Call {
    int method;               // the call's method code (METHOD_...)
    const char* url;          // the URL the call names
    const char* inFile;       // body file path; null for none (LOCK: null for the
                              // library's own body, "" for none)
    const char* destination;  // MOVE and COPY: the Destination line's value
    const char* lockToken;    // UNLOCK: the lock's token, as the caller gave it
    const char* outFile;      // where the reply body goes
    int depth;                // PROPFIND: the Depth line's value; negative for none.
                              // LOCK: 0 for Depth 0, any other for infinity
    int timeout;              // LOCK: seconds asked for; 0 for Infinite; negative for
                              // no Timeout line
    int visible;              // non-zero: the activity window is shown
    CallOptions options;      // the options as they stood when the call started
    char* lines;              // owned: the thread's header lines as the call started
                              // (CR LF lines), for every request of the call; null for none
    CallProxy proxy;          // the proxy settings it started with, and its answer to a 407
    int exchanges;            // exchanges run so far
    int freshOnly;            // 1: the next exchange takes no kept connection (the
                              // one it took was found closed before any reply came)
    // ---- the course of the call, kept by afterExchange ----
    char* target;             // owned: the URL of the exchanges after a redirect,
                              // never with userinfo; null: url
    int redirects;            // redirects followed
    Answering auth;           // the credentials of url, for its origin only
    int ending;               // Follow::Refused: the result the call ends with
    const char* noMemory;     // what could not be allocated while a reply was judged;
                              // its box is shown once the exchange has ended
    int outHeld;              // the output held open for the whole call (a FIFO, a
                              // device), so that its reader sees no end between
                              // exchanges; -1 for none
    CallWatch watch;          // its progress reports and time limit, over all
                              // its exchanges
};

// What the call makes of an exchange's reply.
enum class Follow {
    Over,     // the reply is the call's: stored, the exchange's result the call's
    Another,  // the reply is passed on: the call goes on with a new exchange made
              // from call, the reply's body neither stored nor waited for
    Refused,  // the call ends with call.ending, the reply not stored (too many
              // redirects, memory that ran out)
};

// Load and unload: reason 1 keeps inst; a thread's end (3) and an unload
// while the process goes on (0, reserved null) close the calling thread's
// kept connections. Nothing else is done here, as the loader lock is held
// (no socket start-up or clean-up, no box). Returns 1.
int QUODRA_STDCALL DllEntryPoint(plat::Instance inst, unsigned long reason,
                                 void* reserved);
// Starts Windows Sockets 1.1 once per process, at the first call; 0 when it
// cannot (the message box has been shown, and the next call tries again).
// Thread-safe.
int startLibrary();
// Registers the window class of the event windows unless it is registered.
void registerWindowClass();

// The URI of a lock token, which a caller may give with or without the
// angle brackets of the Lock-Token line: true with *uri and *len naming it
// inside token, false for a token that names none (null, empty, holding a
// space, a control byte or an angle bracket other than the pair around it,
// or only one of that pair). Such a token is never put on the wire.
bool lockTokenUri(const char* token, const char** uri, size_t* len);

// The record of call's next exchange, composed whole (request line, the
// method's own lines, body file opened and form envelope, output path,
// length and header block), or null with *refusal saying why nothing will
// be sent: 1 when a piece could not be made (its box shown), 5 when the
// body file cannot be opened.
RequestInfo* prepareExchange(Call& call, int* refusal);
// Adds the Authorization line of the URL's credentials to req, when the
// exchange goes to the call's first origin, the URL named a user, the
// caller's lines hold no Authorization line of their own and a challenge to
// answer is known (from a 401 of this call, or from the process's cache);
// sets call.auth.mayAnswer and .sent. False when a piece could not be made
// (its box shown).
bool addCredentials(RequestInfo* req, Call& call);
// Runs one composed exchange to its end on this thread: creates its window,
// reaches the host and pumps messages until the exchange has ended. The
// record stays for its caller to read; its window is gone.
void runExchange(RequestInfo* req, int visible);
// The one place where a call's course is decided: from the exchange's final
// reply head, as soon as it has arrived whole (the engine asks through the
// record's judgeHead, before anything of the body is stored), whether the
// reply is the call's or what the next exchange is (call changed to say
// so). An exchange that ends before a final head of the server's came (a
// proxy's 407, a failure) is asked about once it has ended. Bounded by
// MAX_EXCHANGES. Shows no box: what could not be allocated is
// left in call.noMemory.
Follow afterExchange(Call& call, const RequestInfo& done);
// The URL of the call's next (or current) exchange.
const char* currentUrl(const Call& call);
// Releases what the call owns.
void endCall(Call& call);
// Runs call to its end, exchange after exchange; returns its result.
// Before the first exchange sends anything, an output that can never be
// made ends the call with 3. The host's progress callback hears the call's
// counts while it runs and once more when it ends; a call cancelled by it,
// or past its time limit, starts no further exchange.
int DoRequest(Call& call);

// The calling thread's progress callback and its context, as
// httpSetProgress last set them (null: none).
void progressSetting(QuodraProgress* callback, void** context);

}  // namespace quodra
