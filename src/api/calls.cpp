// The ten calls: each checks its arguments, makes the request for its URL
// and method, adds what is particular to it, and runs it with DoRequest.
#include <cstdio>
#include <cstring>

#include "api/api.h"
#include "common/alloc.h"
#include "common/text.h"
#include "quodra.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// The record for url and method once the library is started, or null.
RequestInfo* begin(const char* url, int method) {
    if (!startLibrary()) return nullptr;
    return createRequest(url, method);
}

// Gives req its own copy of the body file path; false (req destroyed) when
// the copy cannot be made.
bool takeInfile(RequestInfo* req, const char* infile) {
    req->infile = copyText(infile, "infile");
    if (req->infile) return true;
    destroyRequest(req);
    return false;
}

int simpleCall(const char* url, const char* outfile, int visible, int method) {
    if (!url || !outfile) return RESULT_REFUSED;
    RequestInfo* req = begin(url, method);
    if (!req) return RESULT_REFUSED;
    return DoRequest(req, outfile, visible);
}

int bodyCall(const char* url, const char* infile, const char* outfile,
             int visible, int method) {
    if (!url || !infile || !outfile) return RESULT_REFUSED;
    RequestInfo* req = begin(url, method);
    if (!req) return RESULT_REFUSED;
    if (!takeInfile(req, infile)) return RESULT_REFUSED;
    if (method == METHOD_POST) makeFormEncoding(req);
    return DoRequest(req, outfile, visible);
}

int destinationCall(const char* url, const char* destination,
                    const char* outfile, int visible, int method) {
    if (!url || !destination || !outfile) return RESULT_REFUSED;
    // The destination goes on the wire as a header line: a CR or LF in it
    // would let the caller's text forge further lines.
    if (hasControlByte(destination)) return RESULT_REFUSED;
    RequestInfo* req = begin(url, method);
    if (!req) return RESULT_REFUSED;
    static const char prefix[] = "Destination: ";
    size_t plen = sizeof prefix - 1;
    size_t dlen = std::strlen(destination);
    char* line = static_cast<char*>(qalloc(plen + dlen + 3));
    if (!line) {
        showAllocFailure("destination");
        destroyRequest(req);
        return RESULT_REFUSED;
    }
    std::memcpy(line, prefix, plen);
    std::memcpy(line + plen, destination, dlen);
    std::memcpy(line + plen + dlen, "\r\n", 3);
    addHeaders(req, line);
    qfree(line);
    return DoRequest(req, outfile, visible);
}

}  // namespace

}  // namespace quodra

using namespace quodra;

extern "C" {

int QUODRA_API httpGet(const char* url, const char* outfile, int visible) {
    return simpleCall(url, outfile, visible, METHOD_GET);
}

int QUODRA_API httpHead(const char* url, const char* outfile, int visible) {
    return simpleCall(url, outfile, visible, METHOD_HEAD);
}

int QUODRA_API httpPostFile(const char* url, const char* infile,
                            const char* outfile, int visible) {
    return bodyCall(url, infile, outfile, visible, METHOD_POST);
}

int QUODRA_API davOptions(const char* url, const char* outfile, int visible) {
    return simpleCall(url, outfile, visible, METHOD_OPTIONS);
}

int QUODRA_API davMkcol(const char* url, const char* outfile, int visible) {
    return simpleCall(url, outfile, visible, METHOD_MKCOL);
}

int QUODRA_API davPropfind(const char* url, const char* infile,
                           const char* outfile, int depth, int visible) {
    if (!url || !outfile) return RESULT_REFUSED;
    RequestInfo* req = begin(url, METHOD_PROPFIND);
    if (!req) return RESULT_REFUSED;
    if (depth >= 0) {
        char line[32];
        std::snprintf(line, sizeof line, "Depth: %d\r\n", depth);
        addHeaders(req, line);
    }
    if (infile && *infile) {
        addHeaders(req, "Content-Type: text/xml\r\n");
        if (!takeInfile(req, infile)) return RESULT_REFUSED;
    }
    return DoRequest(req, outfile, visible);
}

int QUODRA_API davPut(const char* url, const char* infile, const char* outfile,
                      int visible) {
    return bodyCall(url, infile, outfile, visible, METHOD_PUT);
}

int QUODRA_API davDelete(const char* url, const char* outfile, int visible) {
    return simpleCall(url, outfile, visible, METHOD_DELETE);
}

int QUODRA_API davMove(const char* url, const char* destination,
                       const char* outfile, int, int, int visible) {
    return destinationCall(url, destination, outfile, visible, METHOD_MOVE);
}

int QUODRA_API davCopy(const char* url, const char* destination,
                       const char* outfile, int, int, int visible) {
    return destinationCall(url, destination, outfile, visible, METHOD_COPY);
}

}  // extern "C"
