// Reading a request URL into its parts, and the pieces of the record made
// from them: the host, the request target, the user and password.
#include <cstring>

#include "common/alloc.h"
#include "common/text.h"
#include "common/token.h"
#include "platform/numbers.h"
#include "request/request.h"
#include "request/url_scan.h"

namespace quodra {

namespace {

// Where a text's authority would begin when the bytes before the first '/',
// '?' or '#' are followed by "//": the scheme's place, whatever it holds.
// Null when no "//" follows them.
const char* afterSlashes(const char* text, const char** slashes) {
    const char* first = text + std::strcspn(text, "/?#");
    if (first[0] != '/' || first[1] != '/') return nullptr;
    *slashes = first;
    return first + 2;
}

bool sameIgnoringCase(Span s, const char* word) {
    size_t n = std::strlen(word);
    if (s.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s.begin[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

// The scheme, read from the text before the "//" at slashes, which must end
// in ':'. False for any scheme but http and https.
bool readScheme(const char* url, const char* slashes, int* secure) {
    if (slashes == url || slashes[-1] != ':') return false;
    Span scheme{url, slashes - 1};
    if (sameIgnoringCase(scheme, "https")) {
        *secure = 1;
        return true;
    }
    return sameIgnoringCase(scheme, "http");
}

const char* find(Span s, char c) {
    const void* at = std::memchr(s.begin, c, s.size());
    return at ? static_cast<const char*>(at) : nullptr;
}

const char* findLast(Span s, char c) {
    for (const char* p = s.end; p != s.begin; --p)
        if (p[-1] == c) return p - 1;
    return nullptr;
}

// The port written in s: 1 to 65535 in decimal digits, nothing else; an
// empty port is the default.
bool readPort(Span s, uint16_t fallback, uint16_t* port) {
    if (s.size() == 0) {
        *port = fallback;
        return true;
    }
    uint32_t value = 0;
    for (const char* p = s.begin; p != s.end; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 65535) return false;  // stops before any digit count could wrap it
    }
    if (value == 0) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// True when s is an IPv6 address in its text form (no scope suffix), read
// by the one reader of address literals that the connect and the secure
// socket's server name also use.
bool isIpv6(Span s) {
    return plat::addressLiteral(s.begin, s.size(), nullptr) == plat::kAfInet6;
}

// The host and port of the authority's part after its userinfo.
bool readHostAndPort(Span hostport, UrlParts* parts) {
    const uint16_t fallback = defaultPort(parts->secure);
    if (hostport.size() > 0 && hostport.begin[0] == '[') {
        Span inside{hostport.begin + 1, hostport.end};
        const char* close = find(inside, ']');
        if (!close) return false;
        inside.end = close;
        if (!isIpv6(inside)) return false;
        parts->host = inside;
        parts->bracketed = 1;
        Span rest{close + 1, hostport.end};
        if (rest.size() == 0) {
            parts->port = fallback;
            return true;
        }
        return rest.begin[0] == ':' && readPort(Span{rest.begin + 1, rest.end}, fallback, &parts->port);
    }
    const char* colon = find(hostport, ':');
    Span host{hostport.begin, colon ? colon : hostport.end};
    if (host.size() == 0 || find(host, '[') || find(host, ']')) return false;
    parts->host = host;
    if (!colon) {
        parts->port = fallback;
        return true;
    }
    return readPort(Span{colon + 1, hostport.end}, fallback, &parts->port);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Owned copy of s, or null with the allocation failure shown.
char* copySpan(Span s, const char* what) {
    char* copy = static_cast<char*>(qalloc(s.size() + 1));
    if (!copy) {
        showAllocFailure(what);
        return nullptr;
    }
    std::memcpy(copy, s.begin, s.size());
    copy[s.size()] = '\0';
    return copy;
}

}  // namespace

bool decodedSize(Span s, size_t* size) {
    size_t n = 0;
    for (const char* p = s.begin; p != s.end; ++n) {
        unsigned char byte = static_cast<unsigned char>(*p);
        if (*p == '%') {
            if (s.end - p < 3 || hexValue(p[1]) < 0 || hexValue(p[2]) < 0) return false;
            byte = static_cast<unsigned char>(hexValue(p[1]) * 16 + hexValue(p[2]));
            p += 3;
        } else {
            ++p;
        }
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    *size = n;
    return true;
}

void decodeInto(Span s, char* out) {
    for (const char* p = s.begin; p != s.end;) {
        if (*p == '%') {
            *out++ = static_cast<char>(hexValue(p[1]) * 16 + hexValue(p[2]));
            p += 3;
        } else {
            *out++ = *p++;
        }
    }
    *out = '\0';
}

bool splitUrl(const char* url, UrlParts* parts) {
    if (!url || !*url || hasControlByte(url) || std::strchr(url, ' ')) return false;
    UrlParts p{};
    const char* start = url;
    const char* slashes = nullptr;
    if (const char* after = afterSlashes(url, &slashes)) {
        // "//host/path" has no scheme; anything else before "//" must be one.
        if (slashes != url && !readScheme(url, slashes, &p.secure)) return false;
        start = after;
    }
    Span authority{start, start + std::strcspn(start, "/?#")};
    if (find(authority, '\\')) return false;

    Span hostport = authority;
    if (const char* at = findLast(authority, '@')) {
        p.hasUserinfo = 1;
        p.userinfo = Span{authority.begin, at};
        const char* colon = find(p.userinfo, ':');
        p.user = Span{p.userinfo.begin, colon ? colon : at};
        p.password = Span{colon ? colon + 1 : at, at};
        size_t ignored;
        if (!decodedSize(p.user, &ignored) || !decodedSize(p.password, &ignored)) return false;
        hostport.begin = at + 1;
    }
    if (!readHostAndPort(hostport, &p)) return false;

    // The fragment is the caller's own: it never goes out.
    p.target = Span{authority.end, authority.end + std::strcspn(authority.end, "#")};
    *parts = p;
    return true;
}

bool sameOrigin(const char* a, const char* b) {
    UrlParts pa, pb;
    if (!splitUrl(a, &pa) || !splitUrl(b, &pb)) return false;
    if (pa.secure != pb.secure || pa.port != pb.port || pa.host.size() != pb.host.size())
        return false;
    for (size_t i = 0; i < pa.host.size(); ++i)
        if (lowerAscii(pa.host.begin[i]) != lowerAscii(pb.host.begin[i])) return false;
    return true;
}

bool urlHasUserinfo(const char* text) {
    if (!text) return false;
    const char* slashes = nullptr;
    const char* start = afterSlashes(text, &slashes);
    if (!start) {
        if (text[0] == '/') return false;  // an absolute path names no authority
        start = text;
    }
    return std::memchr(start, '@', std::strcspn(start, "/?#")) != nullptr;
}

char* getUrlHost(const UrlParts& parts) { return copySpan(parts.host, "host"); }

char* getUrlTarget(const UrlParts& parts) {
    // A URL naming no path asks for the root, its query kept: "h?x=1"
    // asks for "/?x=1".
    Span t = parts.target;
    bool root = t.size() == 0 || t.begin[0] != '/';
    char* target = static_cast<char*>(qalloc(t.size() + (root ? 2 : 1)));
    if (!target) {
        showAllocFailure("urn");
        return nullptr;
    }
    char* out = target;
    if (root) *out++ = '/';
    std::memcpy(out, t.begin, t.size());
    out[t.size()] = '\0';
    return target;
}

namespace {

char* decodeSpan(Span escaped, const char* what) {
    size_t n = 0;
    if (!decodedSize(escaped, &n)) return nullptr;  // splitUrl has refused it already
    char* text = static_cast<char*>(qalloc(n + 1));
    if (!text) {
        showAllocFailure(what);
        return nullptr;
    }
    decodeInto(escaped, text);
    return text;
}

}  // namespace

char* getUrlUser(const UrlParts& parts) { return decodeSpan(parts.user, "user"); }

char* getUrlPassword(const UrlParts& parts) { return decodeSpan(parts.password, "password"); }

char* urlWithoutUserinfo(const char* url) {
    UrlParts parts;
    if (!splitUrl(url, &parts)) return nullptr;
    if (!parts.hasUserinfo) return copyText(url, "url");
    // Everything up to the userinfo, then everything after its '@'.
    Span before{url, parts.userinfo.begin};
    const char* after = parts.userinfo.end + 1;
    size_t afterLen = std::strlen(after);
    char* text = static_cast<char*>(qalloc(before.size() + afterLen + 1));
    if (!text) {
        showAllocFailure("url");
        return nullptr;
    }
    std::memcpy(text, before.begin, before.size());
    std::memcpy(text + before.size(), after, afterLen + 1);
    return text;
}

}  // namespace quodra
