// Matching a certificate's DNS names to a host, by the rules of RFC 9525:
// the subject alternative names alone are looked at (the caller never
// passes the subject's common name), a wildcard only as a whole leftmost
// label, and names compared without regard to ASCII case.
#include "platform/cert_names.h"

#include <cstring>

namespace plat {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

bool certNameMatches(const char* pattern, size_t len, const char* host) {
    if (!pattern || !host || len == 0 || std::memchr(pattern, '\0', len)) return false;
    size_t hostLen = std::strlen(host);
    if (len == hostLen && pattern[0] != '*') return sameName(pattern, host, len);
    // "*.rest": rest of two labels or more, host one label more than rest.
    if (len < 4 || pattern[0] != '*' || pattern[1] != '.') return false;
    const char* rest = pattern + 1;  // ".example.com"
    size_t restLen = len - 1;
    if (!std::memchr(rest + 1, '.', restLen - 1) || std::memchr(rest, '*', restLen)) return false;
    if (hostLen <= restLen) return false;
    const char* label = host;
    size_t labelLen = hostLen - restLen;
    return !std::memchr(label, '.', labelLen) && sameName(host + labelLen, rest, restLen);
}

}  // namespace plat
