// The conversions of system_address.h. The layer's family numbers are the
// Windows ones; the system's records carry the system's own (AF_INET6 is 10
// on Linux, 23 on Windows), so each side keeps its own names.
#include "platform/system_address.h"

#include <cstring>

#include "platform/numbers.h"

namespace plat {

namespace {

bool sameAddress(const SockAddr& x, const SockAddr& y) {
    return x.family == y.family && x.scope == y.scope &&
           std::memcmp(x.addr, y.addr, sizeof x.addr) == 0;
}

}  // namespace

int toSystemAddress(const SockAddr& a, sockaddr_storage* out) {
    *out = sockaddr_storage{};
    if (a.family == kAfInet) {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = a.port;
        std::memcpy(&in->sin_addr, a.addr, 4);
        return sizeof *in;
    }
    if (a.family == kAfInet6) {
        sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = a.port;
        std::memcpy(&in6->sin6_addr, a.addr, 16);
        in6->sin6_scope_id = a.scope;
        return sizeof *in6;
    }
    return 0;
}

bool fromSystemAddress(const sockaddr* sa, size_t len, SockAddr* out) {
    *out = SockAddr{};
    if (!sa) return false;
    if (sa->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        out->family = kAfInet;
        std::memcpy(out->addr, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
        return true;
    }
    if (sa->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
        const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        out->family = kAfInet6;
        std::memcpy(out->addr, &in6->sin6_addr, 16);
        out->scope = in6->sin6_scope_id;
        return true;
    }
    return false;
}

void appendAddresses(const addrinfo* list, std::vector<SockAddr>* out) {
    for (const addrinfo* a = list; a; a = a->ai_next) {
        SockAddr one;
        if (!fromSystemAddress(a->ai_addr, a->ai_addrlen, &one)) continue;
        bool seen = false;
        for (const SockAddr& x : *out) seen = seen || sameAddress(x, one);
        if (!seen) out->push_back(one);
    }
}

}  // namespace plat
