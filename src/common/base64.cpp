#include "common/base64.h"

namespace quodra {

size_t base64Length(size_t n) { return (n + 2) / 3 * 4; }

void base64Encode(const void* data, size_t n, char* out) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (; n >= 3; p += 3, n -= 3) {
        *out++ = alphabet[p[0] >> 2];
        *out++ = alphabet[(p[0] & 3) << 4 | p[1] >> 4];
        *out++ = alphabet[(p[1] & 15) << 2 | p[2] >> 6];
        *out++ = alphabet[p[2] & 63];
    }
    if (n > 0) {
        // One or two bytes left: their bits, then '=' for what is missing.
        unsigned second = n > 1 ? p[1] : 0;
        *out++ = alphabet[p[0] >> 2];
        *out++ = alphabet[(p[0] & 3) << 4 | second >> 4];
        *out++ = n > 1 ? alphabet[(second & 15) << 2] : '=';
        *out++ = '=';
    }
    *out = '\0';
}

}  // namespace quodra
