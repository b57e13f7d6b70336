// Composing the record of a call's next exchange: the request for its URL
// and method, what the method adds (its lines, body file or own body, and
// form envelope), the output path and what a GET asks about the file there,
// the body file opened, the body length and the header block.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "api/api.h"
#include "api/last_call.h"
#include "common/alloc.h"
#include "common/product.h"
#include "common/text.h"
#include "request/caller_lines.h"
#include "transfer/transfer.h"

namespace quodra {

namespace {

// How PROPPATCH and LOCK label their XML bodies: the type RFC 4918 (8.2)
// asks for, with the charset of WebDAV's XML (UTF-8, which the library's own
// body declares), so that no server reads a property's value as ASCII as it
// may for text/xml without a charset (a type RFC 4918 deprecates). A body
// not labelled XML is refused by some servers (lighttpd answers 415).
constexpr const char* XML_TYPE = "application/xml; charset=\"utf-8\"";

// The body of a LOCK the caller gives no body for: an exclusive write lock.
// Its owner is the product token, as the library knows nothing of its user
// and sends nothing the caller did not give; a caller who wants a name or a
// contact there sends a body file of its own.
constexpr const char LOCK_BODY[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:exclusive/></D:lockscope>"
    "<D:locktype><D:write/></D:locktype><D:owner>" QUODRA_PRODUCT "</D:owner>"
    "</D:lockinfo>\n";

// Gives req its own copy of the body file path; false when the copy cannot
// be made.
bool takeInFile(RequestInfo* req, const char* inFile) {
    req->inFile = copyText(inFile, "infile");
    return req->inFile != nullptr;
}

// Adds the line "<name><value, len bytes><close>\r\n" to the header lines;
// false when the line cannot be made ("new failed: <what>" shown).
bool addLine(RequestInfo* req, const char* name, const char* value, size_t len,
             const char* close, const char* what) {
    size_t nlen = std::strlen(name);
    size_t clen = std::strlen(close);
    char* line = static_cast<char*>(qalloc(nlen + len + clen + 3));
    if (!line) {
        showAllocFailure(what);
        return false;
    }
    std::memcpy(line, name, nlen);
    std::memcpy(line + nlen, value, len);
    std::memcpy(line + nlen + len, close, clen);
    std::memcpy(line + nlen + len + clen, "\r\n", 3);
    addHeaders(req, line);
    qfree(line);
    return true;
}

// Adds "Destination: <destination>" to the header lines; false when the
// line cannot be made.
bool addDestination(RequestInfo* req, const char* destination) {
    return addLine(req, "Destination: ", destination, std::strlen(destination), "",
                   "destination");
}

// A LOCK's lines and body: Depth 0 or infinity, the Timeout asked for, and
// the library's own body, the caller's file or (a refresh) none.
bool addLockPieces(RequestInfo* req, const Call& call) {
    addHeaders(req, call.depth == 0 ? "Depth: 0\r\n" : "Depth: infinity\r\n");
    if (call.timeout > 0) {
        char line[40];
        std::snprintf(line, sizeof line, "Timeout: Second-%d\r\n", call.timeout);
        addHeaders(req, line);
    } else if (call.timeout == 0) {
        addHeaders(req, "Timeout: Infinite\r\n");
    }
    if (!call.inFile) {
        req->ownBody = LOCK_BODY;
        setContentType(req, XML_TYPE);
        return true;
    }
    if (!*call.inFile) return true;
    setContentType(req, XML_TYPE);
    return takeInFile(req, call.inFile);
}

// Adds "Lock-Token: <uri>" to the header lines; false when the line cannot
// be made. The token was checked with the call's arguments.
bool addLockToken(RequestInfo* req, const char* token) {
    const char* uri = nullptr;
    size_t len = 0;
    if (!lockTokenUri(token, &uri, &len)) return false;
    return addLine(req, "Lock-Token: <", uri, len, ">", "locktoken");
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
    case METHOD_PROPPATCH:
        setContentType(req, XML_TYPE);
        return takeInFile(req, call.inFile);
    case METHOD_LOCK:
        return addLockPieces(req, call);
    case METHOD_UNLOCK:
        return addLockToken(req, call.lockToken);
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

// True when the body is one to hold back until the server has said it
// wants it: a PUT's (a file, which a server refusing it would otherwise
// read to no end), and any body over EXPECT_CONTINUE_FROM.
bool asksToContinue(const RequestInfo* req) {
    if (req->bodyLength <= 0) return false;
    return req->method == METHOD_PUT || req->bodyLength > EXPECT_CONTINUE_FROM;
}

}  // namespace

bool lockTokenUri(const char* token, const char** uri, size_t* len) {
    if (!token) return false;
    size_t n = std::strlen(token);
    // The pair around the URI is taken off; a URI never holds a bracket.
    if (n >= 2 && token[0] == '<' && token[n - 1] == '>') {
        ++token;
        n -= 2;
    }
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(token[i]);
        if (c <= 0x20 || c == 0x7F || c == '<' || c == '>') return false;
    }
    *uri = token;
    *len = n;
    return true;
}

RequestInfo* prepareExchange(Call& call, int* refusal) {
    *refusal = RESULT_REFUSED;
    RequestInfo* req = createRequest(currentUrl(call), call.method);
    if (!req) {
        // The URL itself is not quoted: it may hold a password.
        UrlParts parts;
        keepCallFailure(splitUrl(currentUrl(call), &parts)
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
    req->keep = call.options.keep;
    req->failOnError = call.options.failOnError;
    req->keepAlive = call.options.keepAlive;
    req->freshOnly = call.freshOnly;
    // Through a proxy or direct, by this exchange's own URL.
    bool whole = routeExchange(req, call.proxy) && addMethodPieces(req, call) &&
                 addCallerLines(req, call) && addCredentials(req, call);
    if (whole) {
        req->outFile = copyText(call.outFile, "outfile");
        whole = req->outFile != nullptr;
    }
    // Only a GET asks about its output: the rest of it, or a newer one.
    if (whole && call.method == METHOD_GET) {
        req->stampModified = call.options.onlyIfNewer;
        askAboutOutput(req, call.options.resume, call.options.onlyIfNewer);
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
        req->expectContinue = req->keepAlive && asksToContinue(req);
        makeHeaders(req);
        if (req->keepAlive) speakHttp11(req);
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
