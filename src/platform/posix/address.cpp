// Address text and byte order. No system network header here: it would
// turn htons into a macro.
#include <cstring>

#include "posix_internal.h"

namespace plat {

// Four decimal parts of 0..255, nothing else. A part with a leading zero is
// refused: elsewhere such text is read as octal, so it is left to the name
// lookup, which reads it that way.
uint32_t inet_addr(const char* text) {
    const uint32_t none = kInaddrNone;
    if (!text) return none;
    unsigned char bytes[4];
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') return none;
            ++p;
        }
        if (*p < '0' || *p > '9') return none;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') return none;
        unsigned v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || v > 255) return none;
            ++p;
        }
        bytes[part] = static_cast<unsigned char>(v);
    }
    if (*p != '\0') return none;
    uint32_t net;
    std::memcpy(&net, bytes, 4);
    return net;
}

uint16_t htons(uint16_t v) {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    if (!first) return v;  // already big-endian
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

}  // namespace plat
