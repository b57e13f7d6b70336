// The platform's one reader of address literals (src/platform/inet.cpp),
// which the core, the secure sockets and both backends share: what is an
// address of either family, with its bytes, and what is left to the
// resolver as a name.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/numbers.h"
#include "platform/platform.h"

namespace {

std::string hexOf(const plat::SockAddr& a) {
    char hex[33] = "";
    for (int i = 0; i < (a.family == plat::kAfInet ? 4 : 16); ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", a.addr[i]);
    return hex;
}

// What counts as an address: a dotted quad of decimal parts, or the colon
// form of IPv6 (without brackets or a scope); nothing else.
TEST(AddressLiteral, ReadsEitherFamilyAndNothingElse) {
    const int v4 = plat::kAfInet, v6 = plat::kAfInet6, name = 0;
    struct Case {
        const char* text;
        int family;
        const char* bytes;  // hex of the address, for an address
    } cases[] = {
        {"127.0.0.1", v4, "7f000001"},
        {"0.0.0.0", v4, "00000000"},
        {"10.20.30.40", v4, "0a141e28"},
        {"255.255.255.255", v4, "ffffffff"},
        {"256.1.1.1", name, nullptr},
        {"255.255.255.256", name, nullptr},
        {"1.2.3", name, nullptr},
        {"1.2.3.4.5", name, nullptr},
        {"1.2.3.4 ", name, nullptr},
        {" 1.2.3.4", name, nullptr},
        {"1.2.3.4.", name, nullptr},
        {"localhost", name, nullptr},
        {"", name, nullptr},
        {"1..2.3", name, nullptr},
        {"010.0.0.1", name, nullptr},  // elsewhere octal: left to the resolver
        {"1.2.3.04", name, nullptr},
        {"1234.1.1.1", name, nullptr},
        {"127.1", name, nullptr},      // the short forms some systems take
        {"0x7f.0.0.1", name, nullptr},
        {"-1.2.3.4", name, nullptr},
        {"::1", v6, "00000000000000000000000000000001"},
        {"::", v6, "00000000000000000000000000000000"},
        {"2001:db8::1", v6, "20010db8000000000000000000000001"},
        {"2001:DB8:0:0:0:0:0:1", v6, "20010db8000000000000000000000001"},
        {"ABCD::EF01", v6, "abcd000000000000000000000000ef01"},
        {"::ffff:10.0.0.1", v6, "00000000000000000000ffff0a000001"},
        {"::ffff:127.0.0.1", v6, "00000000000000000000ffff7f000001"},
        {"::1.2.3.4", v6, "00000000000000000000000001020304"},
        {"1:2:3:4:5:6:1.2.3.4", v6, "00010002000300040005000601020304"},
        {"fe80::1:2:3:4", v6, "fe800000000000000001000200030004"},
        {"1:2:3:4:5:6:7:8", v6, "00010002000300040005000600070008"},
        {"1:2:3:4:5:6:7::", v6, "00010002000300040005000600070000"},
        {"::2:3:4:5:6:7:8", v6, "00000002000300040005000600070008"},
        {"1::", v6, "00010000000000000000000000000000"},
        {"[::1]", name, nullptr},
        {"fe80::1%lo", name, nullptr},  // a scope goes to the resolver
        {"::1::2", name, nullptr},
        {":::", name, nullptr},
        {"1:2:3:4:5:6:7:8:9", name, nullptr},
        {"1:2:3:4:5:6:7", name, nullptr},
        {"1:2:3:4:5:6:7:8::", name, nullptr},
        {"::1:2:3:4:5:6:7:8", name, nullptr},
        {"1:2:3:4:5:6:7:1.2.3.4", name, nullptr},
        {"1.2.3.4::", name, nullptr},
        {"::ffff:1.2.3", name, nullptr},
        {"::ffff:01.2.3.4", name, nullptr},
        {"12345::", name, nullptr},
        {"g::1", name, nullptr},
        {"1:", name, nullptr},
        {":1", name, nullptr},
        {"1:::2", name, nullptr},
        {"a:b", name, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        plat::SockAddr a{};
        std::memset(&a, 0xEE, sizeof a);
        int family = plat::addressLiteral(c.text, std::strlen(c.text), &a);
        EXPECT_EQ(family, c.family);
        if (family != c.family || !c.bytes) continue;
        EXPECT_EQ(a.family, c.family);
        EXPECT_EQ(hexOf(a), c.bytes);
        EXPECT_EQ(a.port, 0);
        EXPECT_EQ(a.scope, 0u);
    }
}

// The reader takes a span, as a URL's host is one: only its bytes count, and
// a NUL inside is never part of an address.
TEST(AddressLiteral, ReadsExactlyTheSpanGiven) {
    plat::SockAddr a{};
    const char url[] = "127.0.0.1:8080";
    EXPECT_EQ(plat::addressLiteral(url, 9, &a), plat::kAfInet);
    EXPECT_EQ(hexOf(a), "7f000001");
    EXPECT_EQ(plat::addressLiteral(url, 8, &a), 0) << "127.0.0.";
    EXPECT_EQ(plat::addressLiteral(url, sizeof url - 1, &a), 0);
    const char v6[] = "::1]";
    EXPECT_EQ(plat::addressLiteral(v6, 3, nullptr), plat::kAfInet6) << "no record wanted";
    EXPECT_EQ(plat::addressLiteral("1.2.3.4\0" "5", 9, &a), 0);
    EXPECT_EQ(plat::addressLiteral(nullptr, 0, &a), 0);
}

}  // namespace
