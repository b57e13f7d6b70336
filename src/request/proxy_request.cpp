// What a request carries through a proxy: the absolute URL on an http
// request's line, and the CONNECT request that opens a tunnel for https.
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/product.h"
#include "common/results.h"
#include "common/text.h"
#include "request/proxy.h"
#include "request/request.h"

namespace quodra {

namespace {

// Joins the pieces into one owned text; null with the failure shown.
char* join(const char* const* pieces, int count, const char* what) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += std::strlen(pieces[i]);
    char* text = static_cast<char*>(qalloc(total + 1));
    if (!text) {
        showAllocFailure(what);
        return nullptr;
    }
    char* out = text;
    for (int i = 0; i < count; ++i) {
        size_t n = std::strlen(pieces[i]);
        std::memcpy(out, pieces[i], n);
        out += n;
    }
    *out = '\0';
    return text;
}

}  // namespace

char* authorityText(const RequestInfo* req, bool withPort) {
    const char* host = req->host ? req->host : "";
    // A host with a colon came out of brackets (an IPv6 address).
    const bool bracketed = std::strchr(host, ':') != nullptr;
    char port[8] = "";
    if (withPort || req->port != defaultPort(req->secure))
        std::snprintf(port, sizeof port, ":%u", static_cast<unsigned>(req->port));
    const char* pieces[] = {bracketed ? "[" : "", host, bracketed ? "]" : "", port};
    return join(pieces, 4, "authority");
}

char* requestTarget(const RequestInfo* req) {
    // The line is "METHOD target HTTP/1.0\r\n": the target lies between the
    // first space and the last.
    const char* line = req->requestLine;
    const char* first = line ? std::strchr(line, ' ') : nullptr;
    const char* last = line ? std::strrchr(line, ' ') : nullptr;
    if (!first || last <= first) return nullptr;
    size_t n = static_cast<size_t>(last - first - 1);
    char* target = static_cast<char*>(qalloc(n + 1));
    if (!target) {
        showAllocFailure("target");
        return nullptr;
    }
    std::memcpy(target, first + 1, n);
    target[n] = '\0';
    return target;
}

bool useAbsoluteTarget(RequestInfo* req) {
    if (!req || req->result) return false;
    char* authority = authorityText(req, false);
    char* target = nullptr;
    char* line = nullptr;
    if (authority) {
        const char* pieces[] = {"http://", authority, req->path ? req->path : "/"};
        target = join(pieces, 3, "urn");
    }
    if (target) line = makeRequestLine(target, req->method);
    qfree(authority);
    qfree(target);
    if (!line) {
        // Each failure above has shown its box.
        if (req->result == 0) req->result = RESULT_REFUSED;
        return false;
    }
    qfree(req->requestLine);
    req->requestLine = line;
    return true;
}

bool makeTunnelRequest(RequestInfo* req, const char* authLine) {
    if (!req || req->result) return false;
    // The authority form names the port always (RFC 9110, section 9.3.6).
    char* authority = authorityText(req, true);
    char* text = nullptr;
    if (authority) {
        const char* pieces[] = {"CONNECT ", authority, " HTTP/1.0\r\nHost: ", authority,
                                "\r\nUser-Agent: " QUODRA_PRODUCT "\r\n",
                                authLine ? authLine : "", "\r\n"};
        text = join(pieces, 7, "tunnel");
    }
    qfree(authority);
    if (!text) {
        if (req->result == 0) req->result = RESULT_REFUSED;
        return false;
    }
    qfree(req->tunnelRequest);
    req->tunnelRequest = text;
    return true;
}

}  // namespace quodra
