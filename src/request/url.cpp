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

const char* urlHostEnd(const char* hostStart) {
    const char* p = hostStart;
    while (*p && *p != ':' && *p != '/') ++p;
    return p;
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
    const char* start = urlHostStart(url);
    if (!start) return nullptr;
    size_t n = static_cast<size_t>(urlHostEnd(start) - start);
    if (n == 0) return nullptr;
    char* host = static_cast<char*>(qalloc(n + 1));
    if (!host) {
        showAllocFailure("host");
        return nullptr;
    }
    std::memcpy(host, start, n);
    host[n] = '\0';
    return host;
}

char* getUrlUrn(const char* url) {
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
    const char* start = urlHostStart(url);
    if (!start) return fallback;
    const char* end = urlHostEnd(start);
    if (end == start || *end != ':') return fallback;
    // Low 16 bits, so a negative number wraps (-1 is 65535).
    uint16_t port = static_cast<uint16_t>(static_cast<uint32_t>(readLong32(end + 1)));
    return port ? port : fallback;
}

}  // namespace quodra
