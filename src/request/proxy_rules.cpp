// Which proxy, if any: a proxy URL read, a host matched against a no-proxy
// list, and the environment variables that name both. Nothing here
// allocates or keeps anything.
#include <cstring>

#include "platform/numbers.h"
#include "platform/platform.h"
#include "request/proxy.h"

namespace quodra {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// True when the URL read into parts names a port: a ':' and digits right
// after the host (an empty port names none).
bool portNamed(const UrlParts& parts) {
    const char* after = parts.host.end + (parts.bracketed ? 1 : 0);
    return after[0] == ':' && digit(after[1]);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// The bytes [begin, end) without spaces and tabs at either end.
void trim(const char** begin, const char** end) {
    while (*begin < *end && (**begin == ' ' || **begin == '\t')) ++*begin;
    while (*end > *begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t')) --*end;
}

// An address entry, "addr" or "addr/bits" (IPv6 possibly in brackets):
// its family and bytes in *addr and its prefix length in *bits. False for
// anything else.
bool readAddressEntry(const char* begin, const char* end, plat::SockAddr* addr, int* bits) {
    const char* slash = static_cast<const char*>(std::memchr(begin, '/', static_cast<size_t>(end - begin)));
    const char* addrEnd = slash ? slash : end;
    if (addrEnd - begin >= 2 && begin[0] == '[' && addrEnd[-1] == ']') {
        ++begin;
        --addrEnd;
    }
    int family = plat::addressLiteral(begin, static_cast<size_t>(addrEnd - begin), addr);
    if (!family) return false;
    int most = family == plat::kAfInet ? 32 : 128;
    *bits = most;
    if (!slash) return true;
    const char* p = slash + 1;
    if (p == end || end - p > 3) return false;
    int n = 0;
    for (; p != end; ++p) {
        if (!digit(*p)) return false;
        n = n * 10 + (*p - '0');
    }
    if (n > most) return false;
    *bits = n;
    return true;
}

bool samePrefix(const plat::SockAddr& a, const plat::SockAddr& b, int bits) {
    if (a.family != b.family) return false;
    int whole = bits / 8;
    if (std::memcmp(a.addr, b.addr, static_cast<size_t>(whole)) != 0) return false;
    int rest = bits % 8;
    if (rest == 0) return true;
    uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a.addr[whole] & mask) == (b.addr[whole] & mask);
}

// A name entry against a host name: the same name, or the host a name
// below it.
bool nameMatches(const char* begin, const char* end, const char* host, size_t hostLen) {
    if (begin < end && *begin == '.') ++begin;
    if (end > begin && end[-1] == '.') --end;
    if (hostLen > 0 && host[hostLen - 1] == '.') --hostLen;
    size_t n = static_cast<size_t>(end - begin);
    if (n == 0 || n > hostLen) return false;
    if (!sameName(host + hostLen - n, begin, n)) return false;
    return n == hostLen || host[hostLen - n - 1] == '.';
}

}  // namespace

bool readProxyUrl(const char* text, UrlParts* parts) {
    UrlParts p;
    if (!splitUrl(text, &p) || p.secure) return false;
    // Nothing after the authority but one '/': a proxy is a host, and
    // anything more is a slip that would otherwise pass unseen.
    size_t target = p.target.size();
    if (target > 1 || (target == 1 && p.target.begin[0] != '/') || *p.target.end != '\0')
        return false;
    if (!portNamed(p)) p.port = PROXY_DEFAULT_PORT;
    *parts = p;
    return true;
}

bool bypassesProxy(const char* list, const char* host) {
    if (!list || !host || !*host) return false;
    size_t hostLen = std::strlen(host);
    plat::SockAddr hostAddr{};
    bool hostIsAddress = plat::addressLiteral(host, hostLen, &hostAddr) != 0;
    for (const char* p = list; *p;) {
        const char* comma = std::strchr(p, ',');
        const char* begin = p;
        const char* end = comma ? comma : p + std::strlen(p);
        p = comma ? comma + 1 : end;
        trim(&begin, &end);
        if (begin == end) continue;
        if (end - begin == 1 && *begin == '*') return true;
        plat::SockAddr entry{};
        int bits = 0;
        if (readAddressEntry(begin, end, &entry, &bits)) {
            if (hostIsAddress && samePrefix(hostAddr, entry, bits)) return true;
        } else if (!hostIsAddress && nameMatches(begin, end, host, hostLen)) {
            return true;
        }
    }
    return false;
}

ProxyVariables proxyVariables(int secure) {
    if (secure) return {{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}, 4};
    return {{"http_proxy", "all_proxy", "ALL_PROXY", nullptr}, 3};
}

ProxyVariables noProxyVariables() { return {{"no_proxy", "NO_PROXY", nullptr, nullptr}, 2}; }

}  // namespace quodra
