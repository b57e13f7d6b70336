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

// Checks what the caller gave before anything is made: 0, or 1 (refused).
int checkArguments(const Call& c) {
    if (!c.url || !c.outFile) return RESULT_REFUSED;
    bool bodyRequired =
        c.method == METHOD_POST || c.method == METHOD_PUT || c.method == METHOD_PROPPATCH;
    if (bodyRequired && !c.inFile) return RESULT_REFUSED;
    // The token goes on the wire in a header line: one that is no URI (a CR
    // or LF in it would forge further lines) is never sent.
    const char* uri = nullptr;
    size_t len = 0;
    if (c.method == METHOD_UNLOCK && !lockTokenUri(c.lockToken, &uri, &len))
        return RESULT_REFUSED;
    if (c.method == METHOD_MOVE || c.method == METHOD_COPY) {
        if (!c.destination) return RESULT_REFUSED;
        // The destination goes on the wire as a header line: a CR or LF in
        // it would let the caller's text forge further lines, and a user
        // and password in it would be sent to the server as they are.
        if (hasControlByte(c.destination) || urlHasUserinfo(c.destination))
            return RESULT_REFUSED;
    }
    return 0;
}

int runCall(Call c) {
    forgetLastCall();
    c.options = takeOptions();
    int was = setBoxesShown(c.options.boxes);
    int result = checkArguments(c);
    // The header lines and the proxy settings are taken as the call starts:
    // a change the thread makes while the call runs (from a window
    // procedure its loop dispatches) reaches only its later calls.
    if (result == 0 && !copyCallerLines(&c.lines)) result = RESULT_REFUSED;
    if (result == 0 && !takeCallProxy(&c.proxy)) result = RESULT_REFUSED;
    if (result == 0) result = startLibrary() ? DoRequest(c) : RESULT_REFUSED;
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
