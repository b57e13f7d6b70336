// Composing the record of a call's next exchange: the request for its URL
// and method, what the method adds (its lines, body file and form
// envelope), the body file opened, the output path, the body length and the
// header block.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "api/api.h"
#include "common/alloc.h"
#include "common/text.h"
#include "request/caller_lines.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// Gives req its own copy of the body file path; false when the copy cannot
// be made.
bool takeInFile(RequestInfo* req, const char* inFile) {
    req->inFile = copyText(inFile, "infile");
    return req->inFile != nullptr;
}

// Adds "Destination: <destination>" to the header lines; false when the
// line cannot be made.
bool addDestination(RequestInfo* req, const char* destination) {
    static const char prefix[] = "Destination: ";
    size_t plen = sizeof prefix - 1;
    size_t dlen = std::strlen(destination);
    char* line = static_cast<char*>(qalloc(plen + dlen + 3));
    if (!line) {
        showAllocFailure("destination");
        return false;
    }
    std::memcpy(line, prefix, plen);
    std::memcpy(line + plen, destination, dlen);
    std::memcpy(line + plen + dlen, "\r\n", 3);
    addHeaders(req, line);
    qfree(line);
    return true;
}

// What the method adds to its record; false when a piece could not be made.
bool addMethodPieces(RequestInfo* req, const Call& call) {
    switch (call.method) {
    case METHOD_POST:
        if (!takeInFile(req, call.inFile)) return false;
        makeFormEncoding(req);
        return true;
    case METHOD_PUT:
        return takeInFile(req, call.inFile);
    case METHOD_PROPFIND:
        if (call.depth >= 0) {
            char line[32];
            std::snprintf(line, sizeof line, "Depth: %d\r\n", call.depth);
            addHeaders(req, line);
        }
        if (call.inFile && *call.inFile) {
            addHeaders(req, "Content-Type: text/xml\r\n");
            return takeInFile(req, call.inFile);
        }
        return true;
    case METHOD_MOVE:
    case METHOD_COPY:
        return addDestination(req, call.destination);
    default:
        return true;
    }
}

// The caller's header lines, after the method's own. A line named like one
// the method wrote from the call's arguments (Depth, Destination, the
// Content-Type of a PROPFIND body or of a form) is left out: the arguments
// say it already, a second line of the name would contradict them, and a
// form's type carries the boundary its body is read by. Authorization and
// Cookie lines go only to the origin of the call's URL. False when memory
// ran out (the box has been shown).
bool addCallerLines(RequestInfo* req, const Call& call) {
    if (!call.lines) return true;
    const char* drop[6];
    int count = 0;
    if (!sameOrigin(currentUrl(call), call.url)) {
        drop[count++] = "authorization";
        drop[count++] = "cookie";
    }
    for (const char* name : {"depth", "destination", "content-type"})
        if (linesHold(req->headers, name)) drop[count++] = name;
    if (req->contentType && !linesHold(req->headers, "content-type"))
        drop[count++] = "content-type";
    char* kept = nullptr;
    if (!linesWithout(call.lines, drop, count, &kept)) return false;
    addHeaders(req, kept);
    qfree(kept);
    return true;
}

}  // namespace

RequestInfo* prepareExchange(Call& call, int* refusal) {
    *refusal = RESULT_REFUSED;
    RequestInfo* req = createRequest(currentUrl(call), call.method);
    if (!req) return nullptr;
    req->idleLimitMs = call.options.idleMs;
    req->noBoxes = call.options.boxes ? 0 : 1;
    req->noVerify = call.options.verify ? 0 : 1;
    bool whole = addMethodPieces(req, call) && addCallerLines(req, call) &&
                 addCredentials(req, call);
    if (whole) {
        req->outFile = copyText(call.outFile, "outfile");
        whole = req->outFile != nullptr;
    }
    // Each exchange opens the file afresh and sends it from its start; its
    // size is the open file's. A file that cannot be sent stops the call
    // here, before its line and head could promise a body.
    if (whole && req->result == 0 && openBody(req) != 0) {
        *refusal = RESULT_NO_INPUT;
        destroyRequest(req);
        return nullptr;
    }
    if (whole) {
        calculateContentLength(req);
        makeHeaders(req);
    }
    // A request that could not be composed whole (a piece failed to be
    // allocated, which has shown its box and recorded 1) is not started:
    // nothing of it goes out and no window is made.
    if (!whole || req->result != 0 || !req->headers) {
        destroyRequest(req);
        return nullptr;
    }
    return req;
}

}  // namespace quodra
