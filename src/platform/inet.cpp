// Address literals, read the same way everywhere and by no system call: the
// core (a host given as an address needs no lookup), the secure sockets (an
// address is never sent as a server name, and is checked against the
// certificate's address entries) and both backends use this one reader, so
// that they can never disagree about what is an address.
//
// The same code writes an address as text the one way (RFC 5952's).
//
// The forms are RFC 3986's: IPv4address is four decimal parts 0 to 255
// with no leading zero (elsewhere "010" is read as octal), IPv6address is
// RFC 4291's text form. Anything else is a name, for the resolver: "127.1",
// "0x7f.0.0.1", a zone ("fe80::1%eth0"), brackets.
#include <cstdio>
#include <cstring>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace plat {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four dec-octets joined by dots, exactly [p, end).
bool readIpv4(const char* p, const char* end, uint8_t out[4]) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.') return false;
            ++p;
        }
        const char* start = p;
        unsigned value = 0;
        while (p < end && *p >= '0' && *p <= '9' && p - start < 3) value = value * 10 + unsigned(*p++ - '0');
        size_t digits = static_cast<size_t>(p - start);
        if (digits == 0 || value > 255 || (digits > 1 && *start == '0')) return false;
        out[part] = static_cast<uint8_t>(value);
    }
    return p == end;
}

// Groups of one to four hex digits joined by colons, "::" standing once for
// one or more zero groups, and a dotted quad in place of the last two.
bool readIpv6(const char* p, const char* end, uint8_t out[16]) {
    uint16_t groups[8];
    int count = 0;
    int gap = -1;  // the index at which "::" stands
    if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
        gap = 0;
        p += 2;
    } else if (p < end && *p == ':') {
        return false;  // one colon cannot begin it
    }
    while (p < end) {
        const char* start = p;
        unsigned value = 0;
        while (p < end && hexValue(*p) >= 0 && p - start < 5) value = value * 16 + unsigned(hexValue(*p++));
        if (p < end && *p == '.') {
            // The dotted quad ends the address and fills two groups.
            uint8_t quad[4];
            if (count > 6 || !readIpv4(start, end, quad)) return false;
            groups[count++] = static_cast<uint16_t>(quad[0] << 8 | quad[1]);
            groups[count++] = static_cast<uint16_t>(quad[2] << 8 | quad[3]);
            p = end;
            break;
        }
        size_t digits = static_cast<size_t>(p - start);
        if (digits == 0 || digits > 4 || count == 8) return false;
        groups[count++] = static_cast<uint16_t>(value);
        if (p == end) break;
        if (*p != ':') return false;
        ++p;
        if (p < end && *p == ':') {
            if (gap >= 0) return false;  // "::" only once
            gap = count;
            ++p;
        } else if (p == end) {
            return false;  // one colon cannot end it
        }
    }
    // Without "::" every group is written; with it, at least one is left out.
    if (gap < 0 ? count != 8 : count > 7) return false;
    std::memset(out, 0, 16);
    int tail = gap < 0 ? 0 : count - gap;
    int head = count - tail;
    for (int i = 0; i < head; ++i) {
        out[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(groups[i]);
    }
    for (int i = 0; i < tail; ++i) {
        int at = 8 - tail + i;
        out[2 * at] = static_cast<uint8_t>(groups[head + i] >> 8);
        out[2 * at + 1] = static_cast<uint8_t>(groups[head + i]);
    }
    return true;
}

}  // namespace

int addressLiteral(const char* text, size_t len, SockAddr* addr) {
    SockAddr found{};
    if (!text || len == 0) return 0;
    const char* end = text + len;
    // A colon makes it IPv6 or nothing; a NUL inside is never an address.
    if (std::memchr(text, '\0', len)) return 0;
    if (std::memchr(text, ':', len)) {
        if (!readIpv6(text, end, found.addr)) return 0;
        found.family = kAfInet6;
    } else {
        if (!readIpv4(text, end, found.addr)) return 0;
        found.family = kAfInet;
    }
    if (addr) *addr = found;
    return found.family;
}

int addressText(const SockAddr& a, char* buf, size_t size) {
    if (!buf || size == 0) return 0;
    int n = 0;
    if (a.family == kAfInet) {
        n = std::snprintf(buf, size, "%u.%u.%u.%u", a.addr[0], a.addr[1], a.addr[2], a.addr[3]);
    } else if (a.family == kAfInet6) {
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(a.addr, mapped, 12) == 0) {
            n = std::snprintf(buf, size, "::ffff:%u.%u.%u.%u", a.addr[12], a.addr[13], a.addr[14],
                              a.addr[15]);
        } else {
            unsigned g[8];
            for (int i = 0; i < 8; ++i) g[i] = static_cast<unsigned>(a.addr[2 * i] << 8 | a.addr[2 * i + 1]);
            // The longest run of two or more zero groups, the first of equal ones.
            int best = -1, bestLen = 1;
            for (int i = 0; i < 8;) {
                int j = i;
                while (j < 8 && g[j] == 0) ++j;
                if (j - i > bestLen) {
                    best = i;
                    bestLen = j - i;
                }
                i = j > i ? j : i + 1;
            }
            char text[48];
            size_t at = 0;
            for (int i = 0; i < 8; ++i) {
                if (i == best) {
                    text[at++] = ':';
                    text[at++] = ':';
                    i += bestLen - 1;
                    continue;
                }
                bool joined = i == 0 || (best >= 0 && i == best + bestLen);
                at += static_cast<size_t>(
                    std::snprintf(text + at, sizeof text - at, "%s%x", joined ? "" : ":", g[i]));
            }
            text[at] = '\0';
            n = std::snprintf(buf, size, "%s", text);
        }
    } else {
        buf[0] = '\0';
    }
    return n < 0 ? 0 : n < static_cast<int>(size) ? n : static_cast<int>(size) - 1;
}

}  // namespace plat
