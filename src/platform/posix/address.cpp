// Address text and byte order.
#include <arpa/inet.h>
#include <sys/socket.h>

// glibc may define htons as a macro, which would rewrite the layer's own
// function of that name below.
#undef htons

#include <cstring>

#include "posix_internal.h"

namespace plat {

// The system's reader: a dotted quad of four decimal parts (a part with a
// leading zero is refused, as elsewhere it is read as octal), or the colon
// form of IPv6. No scope suffix: a name with one goes to the resolver.
int inet_pton(int af, const char* text, void* dst) {
    if (af != kAfInet && af != kAfInet6) {
        posix::setLastError(kErrAfNoSupport);
        return -1;
    }
    if (!text || !dst) return 0;
    return ::inet_pton(af == kAfInet ? AF_INET : AF_INET6, text, dst) == 1 ? 1 : 0;
}

uint16_t htons(uint16_t v) {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    if (!first) return v;  // already big-endian
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

}  // namespace plat
