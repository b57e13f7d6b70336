// Splitting a request URL into host, path and port.
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "request/request.h"
#include "request/url_scan.h"

namespace quodra {

const char* urlHostStart(const char* url) {
    if (!url || !*url) return nullptr;
    // Whatever precedes the first "//" is skipped; only urlIsSecure reads it.
    const char* slashes = std::strstr(url, "//");
    if (!slashes) return url;
    return slashes[2] ? slashes + 2 : nullptr;
}

bool urlHost(const char* url, UrlHost* host) {
    const char* start = urlHostStart(url);
    if (!start) return false;
    if (*start != '[') {
        const char* p = start;
        while (*p && *p != ':' && *p != '/') {
            if (*p == '[' || *p == ']') return false;  // a bracket without its mate
            ++p;
        }
        *host = UrlHost{start, p, p};
        return p != start;
    }
    // An IPv6 address: up to the closing bracket, which must come before the
    // path; a port or the path may follow it, nothing else.
    const char* p = start + 1;
    bool colon = false;
    while (*p && *p != ']' && *p != '/') {
        if (*p == '[') return false;
        colon = colon || *p == ':';
        ++p;
    }
    if (*p != ']' || !colon) return false;
    const char* rest = p + 1;
    if (*rest && *rest != ':' && *rest != '/') return false;
    *host = UrlHost{start + 1, p, rest};
    return true;
}

const char* urlPathStart(const char* url) {
    const char* host = urlHostStart(url);
    if (!host || *host == '/') return nullptr;
    // A port between host and path is passed over; only '/' starts the path.
    return std::strchr(host, '/');
}

bool urlIsSecure(const char* url) {
    static const char scheme[] = "https://";
    if (!url) return false;
    // The same "//" that starts the host: exactly "https:" before it, in any case.
    for (size_t i = 0; i < sizeof scheme - 1; ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    return true;
}

char* getUrlHost(const char* url) {
    UrlHost span;
    if (!urlHost(url, &span)) return nullptr;
    size_t n = static_cast<size_t>(span.end - span.begin);
    char* host = static_cast<char*>(qalloc(n + 1));
    if (!host) {
        showAllocFailure("host");
        return nullptr;
    }
    std::memcpy(host, span.begin, n);
    host[n] = '\0';
    return host;
}

char* getUrlPath(const char* url) {
    return copyText(urlPathStart(url), "urn");
}

namespace {

// The number at text as a 32-bit atol reads it; values beyond the 32-bit
// range stop at its limits, so the port never depends on the width of long.
int32_t readLong32(const char* text) {
    int64_t value = readDecimal64(text, textLength(text));
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

uint16_t getUrlPort(const char* url) {
    const uint16_t fallback = urlIsSecure(url) ? 443 : 80;
    UrlHost span;
    if (!urlHost(url, &span) || *span.rest != ':') return fallback;
    // Low 16 bits, so a negative number wraps (-1 is 65535).
    uint16_t port = static_cast<uint16_t>(static_cast<uint32_t>(readLong32(span.rest + 1)));
    return port ? port : fallback;
}

}  // namespace quodra
