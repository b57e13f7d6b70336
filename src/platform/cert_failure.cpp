// The words of a rejected certificate, the same on every platform.
#include "platform/cert_failure.h"

#include <cstdio>
#include <cstring>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace plat {

void certFailureText(const CertFailure& f, const char* host, char* buf, size_t size) {
    const char* said = f.said[0] ? f.said : "rejected by the TLS engine";
    switch (f.problem) {
    case CertProblem::Expired:
        std::snprintf(buf, size, "has expired (notAfter %s)", f.date[0] ? f.date : "unknown");
        return;
    case CertProblem::NotYetValid:
        std::snprintf(buf, size, "is not valid yet (notBefore %s)", f.date[0] ? f.date : "unknown");
        return;
    case CertProblem::Names:
        std::snprintf(buf, size, "names %s, not %s", f.names[0] ? f.names : "no host",
                      host ? host : "");
        return;
    case CertProblem::Untrusted:
        std::snprintf(buf, size, "issuer not trusted (%s)", said);
        return;
    case CertProblem::Other:
        std::snprintf(buf, size, "%s", said);
        return;
    }
}

void certAddName(CertFailure& f, const char* name, size_t len) {
    size_t have = std::strlen(f.names);
    if (have >= 3 && std::strcmp(f.names + have - 3, "...") == 0) return;
    size_t sep = have ? 2 : 0;
    if (have + sep + len + 1 > sizeof f.names) {
        if (have + sep + 4 <= sizeof f.names) std::snprintf(f.names + have, 6, "%s...", sep ? ", " : "");
        return;
    }
    if (sep) std::memcpy(f.names + have, ", ", 2);
    std::memcpy(f.names + have + sep, name, len);
    f.names[have + sep + len] = '\0';
}

void certAddAddress(CertFailure& f, const unsigned char* bytes, size_t len) {
    SockAddr a{};
    if (len != 4 && len != 16) return;
    a.family = len == 4 ? kAfInet : kAfInet6;
    std::memcpy(a.addr, bytes, len);
    char text[64];
    int n = addressText(a, text, sizeof text);
    certAddName(f, text, static_cast<size_t>(n));
}

}  // namespace plat
