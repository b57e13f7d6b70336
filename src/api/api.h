// The library surface: start-up, the window class, a call's record and the
// driver that runs it as a sequence of exchanges.
#pragma once

#include <cstddef>

#include "api/options.h"
#include "api/proxy.h"
#include "platform/platform.h"
#include "request/request.h"
#include "transfer/transfer.h"

namespace quodra {

constexpr const char* WINDOW_CLASS = "QuodraWndClass";

// The most exchanges one call runs: a bound on the sequence however its
// replies answer.
constexpr int MAX_EXCHANGES = 32;

// Module instance handle, kept at load.
extern plat::Instance hDllInst;

// One call of the library, as the caller made it, from its start to its
// return. Its texts are the caller's, borrowed for as long as the call runs.
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
    int outHeld;              // the output held open for the whole call (a FIFO, a
                              // device), so that its reader sees no end between
                              // exchanges; -1 for none
    CallWatch watch;          // its progress reports and time limit, over all
                              // its exchanges
};

// What follows an exchange that has ended.
enum class Follow {
    Over,     // the call is over: the exchange's result and reply are the call's
    Another,  // the call goes on with a new exchange made from call
};

// Load and unload: reason 1 keeps inst; nothing else is done here, as the
// loader lock is held (no socket start-up or clean-up, no box). Returns 1.
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
// Runs one composed exchange to its end on this thread: creates its window,
// reaches the host and pumps messages until the exchange has ended. The
// record stays for its caller to read; its window is gone.
void runExchange(RequestInfo* req, int visible);
// The one place where a call's course is decided: from the ended exchange's
// result and reply head, whether the call is over or what its next exchange
// is (call changed to say so). Bounded by MAX_EXCHANGES.
Follow afterExchange(Call& call, const RequestInfo& done);
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
