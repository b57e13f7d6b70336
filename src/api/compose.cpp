// Composing the record of a call's next exchange: the request for its URL
// and method, what the method adds (its lines, body file and form
// envelope), the body file opened, the output path, the body length and the
// header block.
#include <cstdio>
#include <cstring>

#include "api/api.h"
#include "api/last_call.h"
#include "common/alloc.h"
#include "common/text.h"
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

}  // namespace

RequestInfo* prepareExchange(const Call& call, int* refusal) {
    *refusal = RESULT_REFUSED;
    RequestInfo* req = createRequest(call.url, call.method);
    if (!req) {
        // The URL itself is not quoted: it may hold a password.
        UrlParts parts;
        keepCallFailure(splitUrl(call.url, &parts)
                            ? "memory ran out while the request was composed"
                            : "the URL cannot be used: it needs the scheme http or https (or "
                              "none), a host (an IPv6 address in brackets), a port of 1 to "
                              "65535, and no space, control byte or bad escape",
                        0);
        return nullptr;
    }
    req->idleLimitMs = call.options.idleMs;
    req->noBoxes = call.options.boxes ? 0 : 1;
    req->noVerify = call.options.verify ? 0 : 1;
    bool whole = addMethodPieces(req, call);
    if (whole) {
        req->outFile = copyText(call.outFile, "outfile");
        whole = req->outFile != nullptr;
    }
    // Each exchange opens the file afresh and sends it from its start; its
    // size is the open file's. A file that cannot be sent stops the call
    // here, before its line and head could promise a body.
    if (whole && req->result == 0 && openBody(req) != 0) {
        *refusal = RESULT_NO_INPUT;
        int error = plat::fileError();
        char said[512], why[WHY_SIZE];
        if (error) fileWords(error, said, sizeof said);
        else std::snprintf(said, sizeof said, "not a regular file (a body needs a known length)");
        std::snprintf(why, sizeof why, "body file \"%s\": %s", req->inFile ? req->inFile : "",
                      said);
        keepCallFailure(why, error);
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
        keepCallFailure(req->why[0] ? req->why : "memory ran out while the request was composed",
                        0);
        destroyRequest(req);
        return nullptr;
    }
    return req;
}

}  // namespace quodra
