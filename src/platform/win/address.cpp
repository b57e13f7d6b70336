// Address text and byte order, from WS2_32. Text is read by the resolver in
// its numeric mode, which looks nothing up; the system's own inet_pton is
// newer than the Windows versions getaddrinfo serves.
#include <cstring>

#include "winsys.h"

namespace plat {

int inet_pton(int af, const char* text, void* dst) {
    if (af != AF_INET && af != AF_INET6) {
        ::WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    if (!text || !dst) return 0;
    addrinfo hints{};
    hints.ai_family = af;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(text, nullptr, &hints, &found) != 0 || !found) return 0;
    int ok = 0;
    if (af == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
        std::memcpy(dst, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, 4);
        ok = 1;
    } else if (af == AF_INET6 && found->ai_addrlen >= sizeof(sockaddr_in6)) {
        const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(found->ai_addr);
        // An address with a scope ("fe80::1%2") is left to the lookup, which
        // keeps the scope; here it would be lost.
        if (in6->sin6_scope_id == 0) {
            std::memcpy(dst, &in6->sin6_addr, 16);
            ok = 1;
        }
    }
    ::freeaddrinfo(found);
    return ok;
}

uint16_t htons(uint16_t v) { return ::htons(v); }

}  // namespace plat
