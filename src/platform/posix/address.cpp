// Byte order. Address text is read by the shared reader (../inet.cpp).
#include <arpa/inet.h>

// glibc may define htons as a macro, which would rewrite the layer's own
// function of that name below.
#undef htons

#include <cstring>

#include "posix_internal.h"

namespace plat {

uint16_t htons(uint16_t v) {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    if (!first) return v;  // already big-endian
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

}  // namespace plat
