// The ten calls: each checks its arguments, makes the request for its URL
// and method, adds what is particular to it, and runs it with DoRequest.
// Every call first forgets the thread's last call and takes the options as
// they stand, which hold for it until it returns.
#include <cstdio>
#include <cstring>

#include "api/api.h"
#include "api/last_call.h"
#include "api/options.h"
#include "common/alloc.h"
#include "common/text.h"
#include "quodra.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// What a call was given; what its method does not take stays null or 0.
struct CallArgs {
    int method;
    const char* url;
    const char* infile;
    const char* destination;
    const char* outfile;
    int depth;
    int visible;
};

// The record for url and method once the library is started, or null.
RequestInfo* begin(const char* url, int method, const CallOptions& opts) {
    if (!startLibrary()) return nullptr;
    RequestInfo* req = createRequest(url, method);
    if (!req) return nullptr;
    req->idlelimit = opts.idleMs;
    req->noboxes = opts.boxes ? 0 : 1;
    req->noverify = opts.verify ? 0 : 1;
    return req;
}

// Gives req its own copy of the body file path; false (req destroyed) when
// the copy cannot be made.
bool takeInfile(RequestInfo* req, const char* infile) {
    req->infile = copyText(infile, "infile");
    if (req->infile) return true;
    destroyRequest(req);
    return false;
}

// Adds "Destination: <destination>" to the header lines; false (req
// destroyed) when the line cannot be made.
bool addDestination(RequestInfo* req, const char* destination) {
    static const char prefix[] = "Destination: ";
    size_t plen = sizeof prefix - 1;
    size_t dlen = std::strlen(destination);
    char* line = static_cast<char*>(qalloc(plen + dlen + 3));
    if (!line) {
        showAllocFailure("destination");
        destroyRequest(req);
        return false;
    }
    std::memcpy(line, prefix, plen);
    std::memcpy(line + plen, destination, dlen);
    std::memcpy(line + plen + dlen, "\r\n", 3);
    addHeaders(req, line);
    qfree(line);
    return true;
}

// What the method adds to its record; false when req had to be destroyed.
bool setUp(RequestInfo* req, const CallArgs& a) {
    switch (a.method) {
    case METHOD_POST:
        if (!takeInfile(req, a.infile)) return false;
        makeFormEncoding(req);
        return true;
    case METHOD_PUT:
        return takeInfile(req, a.infile);
    case METHOD_PROPFIND:
        if (a.depth >= 0) {
            char line[32];
            std::snprintf(line, sizeof line, "Depth: %d\r\n", a.depth);
            addHeaders(req, line);
        }
        if (a.infile && *a.infile) {
            addHeaders(req, "Content-Type: text/xml\r\n");
            return takeInfile(req, a.infile);
        }
        return true;
    case METHOD_MOVE:
    case METHOD_COPY:
        return addDestination(req, a.destination);
    default:
        return true;
    }
}

int prepareAndRun(const CallArgs& a, const CallOptions& opts) {
    if (!a.url || !a.outfile) return RESULT_REFUSED;
    bool bodyRequired = a.method == METHOD_POST || a.method == METHOD_PUT;
    if (bodyRequired && !a.infile) return RESULT_REFUSED;
    if (a.method == METHOD_MOVE || a.method == METHOD_COPY) {
        if (!a.destination) return RESULT_REFUSED;
        // The destination goes on the wire as a header line: a CR or LF in
        // it would let the caller's text forge further lines.
        if (hasControlByte(a.destination)) return RESULT_REFUSED;
    }
    RequestInfo* req = begin(a.url, a.method, opts);
    if (!req) return RESULT_REFUSED;
    if (!setUp(req, a)) return RESULT_REFUSED;
    return DoRequest(req, a.outfile, a.visible);
}

int runCall(const CallArgs& a) {
    forgetLastCall();
    CallOptions opts = takeOptions();
    int was = setBoxesShown(opts.boxes);
    int result = prepareAndRun(a, opts);
    setBoxesShown(was);  // a call made from inside another gives the outer one its setting back
    return result;
}

}  // namespace

}  // namespace quodra

using namespace quodra;

extern "C" {

int QUODRA_API httpGet(const char* url, const char* outfile, int visible) {
    return runCall({METHOD_GET, url, nullptr, nullptr, outfile, -1, visible});
}

int QUODRA_API httpHead(const char* url, const char* outfile, int visible) {
    return runCall({METHOD_HEAD, url, nullptr, nullptr, outfile, -1, visible});
}

int QUODRA_API httpPostFile(const char* url, const char* infile,
                            const char* outfile, int visible) {
    return runCall({METHOD_POST, url, infile, nullptr, outfile, -1, visible});
}

int QUODRA_API davOptions(const char* url, const char* outfile, int visible) {
    return runCall({METHOD_OPTIONS, url, nullptr, nullptr, outfile, -1, visible});
}

int QUODRA_API davMkcol(const char* url, const char* outfile, int visible) {
    return runCall({METHOD_MKCOL, url, nullptr, nullptr, outfile, -1, visible});
}

int QUODRA_API davPropfind(const char* url, const char* infile,
                           const char* outfile, int depth, int visible) {
    return runCall({METHOD_PROPFIND, url, infile, nullptr, outfile, depth, visible});
}

int QUODRA_API davPut(const char* url, const char* infile, const char* outfile,
                      int visible) {
    return runCall({METHOD_PUT, url, infile, nullptr, outfile, -1, visible});
}

int QUODRA_API davDelete(const char* url, const char* outfile, int visible) {
    return runCall({METHOD_DELETE, url, nullptr, nullptr, outfile, -1, visible});
}

int QUODRA_API davMove(const char* url, const char* destination,
                       const char* outfile, int, int, int visible) {
    return runCall({METHOD_MOVE, url, nullptr, destination, outfile, -1, visible});
}

int QUODRA_API davCopy(const char* url, const char* destination,
                       const char* outfile, int, int, int visible) {
    return runCall({METHOD_COPY, url, nullptr, destination, outfile, -1, visible});
}

}  // extern "C"
