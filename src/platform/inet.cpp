// Address literals, read the same way everywhere and by no system call: the
// core (a host given as an address needs no lookup), the secure sockets (an
// address is never sent as a server name, and is checked against the
// certificate's address entries) and both backends use this one reader, so
// that they can never disagree about what is an address.
//
// The forms are RFC 3986's: IPv4address is four decimal parts 0 to 255
// with no leading zero (elsewhere "010" is read as octal), IPv6address is
// RFC 4291's text form. Anything else is a name, for the resolver: "127.1",
// "0x7f.0.0.1", a zone ("fe80::1%eth0"), brackets.
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

}  // namespace plat
