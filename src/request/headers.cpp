// The header block of a request.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "request/caller_lines.h"
#include "request/request.h"

namespace quodra {

void setContentType(RequestInfo* req, const char* text) {
    if (!req || req->result || !text) return;
    size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(qalloc(size));
    if (!copy) {
        composeFailed(req, "contenttype");
        return;
    }
    std::memcpy(copy, text, size);
    qfree(req->contentType);
    req->contentType = copy;
}

void addHeaders(RequestInfo* req, const char* text) {
    if (!req || req->result || !text) return;
    size_t oldLen = static_cast<size_t>(textLength(req->headers));
    size_t addLen = std::strlen(text);
    char* block = static_cast<char*>(qalloc(oldLen + addLen + 1));
    if (!block) {
        composeFailed(req, "headers");
        return;
    }
    if (req->headers) std::memcpy(block, req->headers, oldLen);
    std::memcpy(block + oldLen, text, addLen + 1);
    qfree(req->headers);
    req->headers = block;
}

namespace {

struct Piece {
    const char* text;
    size_t len;
};

Piece piece(const char* text) { return Piece{text, std::strlen(text)}; }

}  // namespace

void makeHeaders(RequestInfo* req) {
    if (!req || req->result) return;

    // Wide enough for any 64-bit value, so the number is never cut.
    char lengthLine[64] = "";
    if (req->bodyLength != 0)
        std::snprintf(lengthLine, sizeof lengthLine, "Content-Length: %" PRIu64 "\r\n",
                      static_cast<uint64_t>(req->bodyLength));
    // A content type labels a body: none goes out for a request without one.
    const bool typed = (req->inFile || req->ownBody) && req->contentType;
    // A host with a colon came out of brackets (an IPv6 address), and the
    // Host line writes it as the URL did. A port other than the scheme's
    // default follows it: a server told only the name would answer for the
    // site on its default port, and one comparing a Destination's authority
    // with this line would refuse a MOVE or COPY.
    const char* host = req->host ? req->host : "";
    const bool bracketed = std::strchr(host, ':') != nullptr;
    char port[8] = "";
    if (req->port != defaultPort(req->secure))
        std::snprintf(port, sizeof port, ":%u", static_cast<unsigned>(req->port));

    // A User-Agent line among the lines before (the caller's) replaces the
    // library's.
    const bool agent = !linesHold(req->headers, "user-agent");

    const Piece pieces[] = {
        piece(agent ? "User-Agent: " QUODRA_PRODUCT "\r\n" : ""),
        piece("Connection: close\r\nHost: "),
        piece(bracketed ? "[" : ""),
        piece(host),
        piece(bracketed ? "]" : ""),
        piece(port),
        piece("\r\n"),
        piece(lengthLine),
        piece(typed ? "Content-Type: " : ""),
        piece(typed ? req->contentType : ""),
        piece(typed ? "\r\n" : ""),
        piece("\r\n"),
    };
    size_t total = 0;
    for (const Piece& p : pieces) total += p.len;

    char* block = static_cast<char*>(qalloc(total + 1));
    if (!block) {
        composeFailed(req, "headers");
        return;
    }
    char* out = block;
    for (const Piece& p : pieces) {
        std::memcpy(out, p.text, p.len);
        out += p.len;
    }
    *out = '\0';
    addHeaders(req, block);
    qfree(block);
}

}  // namespace quodra
