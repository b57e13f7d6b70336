// Address text and byte order, from WS2_32. Text is read by the resolver in
// its numeric mode, which looks nothing up; the system's own inet_pton is
// newer than the Windows versions getaddrinfo serves.
#include <cstring>

#include "platform/system_address.h"
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
    SockAddr a;
    // An address with a scope ("fe80::1%2") is left to the lookup, which
    // keeps the scope; here it would be lost.
    int ok = fromSystemAddress(found->ai_addr, found->ai_addrlen, &a) && a.family == af &&
             a.scope == 0;
    if (ok) std::memcpy(dst, a.addr, af == AF_INET ? 4 : 16);
    ::freeaddrinfo(found);
    return ok;
}

uint16_t htons(uint16_t v) { return ::htons(v); }

}  // namespace plat
