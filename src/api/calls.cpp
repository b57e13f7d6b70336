// The exchange calls: each checks its arguments and runs the call with DoRequest,
// which composes each exchange for its URL and method. Every call first
// forgets the thread's last call and takes the options as they stand, which
// hold for it until it returns.
#include "api/api.h"
#include "api/last_call.h"
#include "api/options.h"
#include "common/alloc.h"
#include "common/text.h"
#include "quodra.h"
#include "request/caller_lines.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The arguments a call was given; what its method does not take stays null
// or negative.
Call callOf(int method, const char* url, const char* inFile, const char* destination,
            const char* outFile, int depth, int visible) {
    Call c{};
    c.method = method;
    c.url = url;
    c.inFile = inFile;
    c.destination = destination;
    c.outFile = outFile;
    c.depth = depth;
    c.visible = visible;
    return c;
}

// Checks what the caller gave before anything is made: null, or why the
// call is refused (1).
const char* refusal(const Call& c) {
    if (!c.url) return "the call was refused: no URL was given";
    if (!c.outFile) return "the call was refused: no output file was given";
    bool bodyRequired =
        c.method == METHOD_POST || c.method == METHOD_PUT || c.method == METHOD_PROPPATCH;
    if (bodyRequired && !c.inFile) return "the call was refused: no body file was given";
    // The token goes on the wire in a header line: one that is no URI (a CR
    // or LF in it would forge further lines) is never sent.
    const char* uri = nullptr;
    size_t len = 0;
    if (c.method == METHOD_UNLOCK && !lockTokenUri(c.lockToken, &uri, &len))
        return "the call was refused: the lock token is no URI";
    if (c.method == METHOD_MOVE || c.method == METHOD_COPY) {
        if (!c.destination) return "the call was refused: no destination was given";
        // The destination goes on the wire as a header line: a CR or LF in
        // it would let the caller's text forge further lines, and a user
        // and password in it would be sent to the server as they are.
        if (hasControlByte(c.destination))
            return "the call was refused: the destination holds a control byte";
        if (urlHasUserinfo(c.destination))
            return "the call was refused: the destination names a user or password";
    }
    return nullptr;
}

int runCall(Call c) {
    forgetLastCall();
    // A call from inside a progress callback would run its own loop inside
    // the running call's, which waits meanwhile: it is refused.
    if (insideProgressCallback()) {
        keepCallFailure("the call was refused: it was made from inside a progress callback", 0);
        return RESULT_REFUSED;
    }
    c.options = takeOptions();
    int was = setBoxesShown(c.options.boxes);
    int result = RESULT_REFUSED;
    // The header lines and the proxy settings are taken as the call starts:
    // a change the thread makes while the call runs (from a window
    // procedure its loop dispatches) reaches only its later calls.
    if (const char* why = refusal(c))
        keepCallFailure(why, 0);
    else if (!copyCallerLines(&c.lines))
        keepCallFailure("memory ran out while the call's header lines were taken", 0);
    else if (!takeCallProxy(&c.proxy))
        keepCallFailure("memory ran out while the call's proxy settings were taken", 0);
    else if (!startLibrary())
        keepCallFailure("Windows Sockets could not be started", 0);
    else
        result = DoRequest(c);
    endCall(c);
    setBoxesShown(was);  // a call made from inside another gives the outer one its setting back
    return result;
}

}  // namespace

}  // namespace quodra

using namespace quodra;

extern "C" {

int QUODRA_API httpGet(const char* url, const char* outfile, int visible) {
    return runCall(callOf(METHOD_GET, url, nullptr, nullptr, outfile, -1, visible));
}

int QUODRA_API httpHead(const char* url, const char* outfile, int visible) {
    return runCall(callOf(METHOD_HEAD, url, nullptr, nullptr, outfile, -1, visible));
}

int QUODRA_API httpPostFile(const char* url, const char* infile,
                            const char* outfile, int visible) {
    return runCall(callOf(METHOD_POST, url, infile, nullptr, outfile, -1, visible));
}

int QUODRA_API davOptions(const char* url, const char* outfile, int visible) {
    return runCall(callOf(METHOD_OPTIONS, url, nullptr, nullptr, outfile, -1, visible));
}

int QUODRA_API davMkcol(const char* url, const char* outfile, int visible) {
    return runCall(callOf(METHOD_MKCOL, url, nullptr, nullptr, outfile, -1, visible));
}

int QUODRA_API davPropfind(const char* url, const char* infile,
                           const char* outfile, int depth, int visible) {
    return runCall(callOf(METHOD_PROPFIND, url, infile, nullptr, outfile, depth, visible));
}

int QUODRA_API davPut(const char* url, const char* infile, const char* outfile,
                      int visible) {
    return runCall(callOf(METHOD_PUT, url, infile, nullptr, outfile, -1, visible));
}

int QUODRA_API davDelete(const char* url, const char* outfile, int visible) {
    return runCall(callOf(METHOD_DELETE, url, nullptr, nullptr, outfile, -1, visible));
}

int QUODRA_API davMove(const char* url, const char* destination,
                       const char* outfile, int, int, int visible) {
    return runCall(callOf(METHOD_MOVE, url, nullptr, destination, outfile, -1, visible));
}

int QUODRA_API davCopy(const char* url, const char* destination,
                       const char* outfile, int, int, int visible) {
    return runCall(callOf(METHOD_COPY, url, nullptr, destination, outfile, -1, visible));
}

int QUODRA_API davProppatch(const char* url, const char* infile, const char* outfile,
                            int visible) {
    return runCall(callOf(METHOD_PROPPATCH, url, infile, nullptr, outfile, -1, visible));
}

int QUODRA_API davLock(const char* url, const char* infile, const char* outfile, int depth,
                       int timeout, int visible) {
    Call c = callOf(METHOD_LOCK, url, infile, nullptr, outfile, depth, visible);
    c.timeout = timeout;
    return runCall(c);
}

int QUODRA_API davUnlock(const char* url, const char* locktoken, const char* outfile,
                         int visible) {
    Call c = callOf(METHOD_UNLOCK, url, nullptr, nullptr, outfile, -1, visible);
    c.lockToken = locktoken;
    return runCall(c);
}

}  // extern "C"
