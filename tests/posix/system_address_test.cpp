// The conversions both backends share between the layer's address record
// and the system's: what connect hands the system, and what a lookup's
// answer becomes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/numbers.h"
#include "platform/system_address.h"

namespace {

plat::SockAddr layerAddress(int family, const char* text, uint16_t port, uint32_t scope) {
    plat::SockAddr a{};
    a.family = family;
    a.port = htons(port);
    a.scope = scope;
    ::inet_pton(family == plat::kAfInet ? AF_INET : AF_INET6, text, a.addr);
    return a;
}

std::string text(const plat::SockAddr& a) {
    char buf[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(a.family == plat::kAfInet ? AF_INET : AF_INET6, a.addr, buf, sizeof buf);
    return std::to_string(a.family) + " " + buf + "%" + std::to_string(a.scope);
}

// Each family's record goes to the system's record of the system's own
// family number (AF_INET6 is 10 here, the layer's is 23) and comes back the
// same, without its port (a lookup's addresses carry none).
TEST(SystemAddress, EachFamilyGoesToTheSystemsRecordAndBack) {
    struct Case {
        int family;
        const char* text;
        uint32_t scope;
        int length;     // of the system's record; 0: refused
        int sysFamily;  // its family number
    } cases[] = {
        {plat::kAfInet, "192.0.2.7", 0, sizeof(sockaddr_in), AF_INET},
        {plat::kAfInet6, "2001:db8::5", 0, sizeof(sockaddr_in6), AF_INET6},
        {plat::kAfInet6, "fe80::1", 3, sizeof(sockaddr_in6), AF_INET6},
        {AF_INET6, "::1", 0, 0, 0},  // the system's number is not the layer's
        {0, "", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.family) + " " + c.text);
        plat::SockAddr a = c.family == AF_INET6 ? plat::SockAddr{AF_INET6, htons(80), {}, 0}
                                                : layerAddress(c.family, c.text, 8080, c.scope);
        sockaddr_storage sys;
        std::memset(&sys, 0xEE, sizeof sys);
        ASSERT_EQ(plat::toSystemAddress(a, &sys), c.length);
        if (!c.length) continue;
        ASSERT_EQ(sys.ss_family, c.sysFamily);
        if (c.sysFamily == AF_INET) {
            const sockaddr_in& in = reinterpret_cast<const sockaddr_in&>(sys);
            EXPECT_EQ(ntohs(in.sin_port), 8080);
            EXPECT_EQ(std::memcmp(&in.sin_addr, a.addr, 4), 0);
        } else {
            const sockaddr_in6& in6 = reinterpret_cast<const sockaddr_in6&>(sys);
            EXPECT_EQ(ntohs(in6.sin6_port), 8080);
            EXPECT_EQ(std::memcmp(&in6.sin6_addr, a.addr, 16), 0);
            EXPECT_EQ(in6.sin6_scope_id, c.scope);
            EXPECT_EQ(in6.sin6_flowinfo, 0u);
        }
        plat::SockAddr back;
        ASSERT_TRUE(plat::fromSystemAddress(reinterpret_cast<const sockaddr*>(&sys),
                                            static_cast<size_t>(c.length), &back));
        a.port = 0;
        EXPECT_EQ(std::memcmp(&back, &a, sizeof a), 0) << text(back);
    }
}

TEST(SystemAddress, ARecordOfAnotherFamilyOrTooShortIsNoAddress) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    struct Case {
        const char* name;
        const sockaddr* sa;
        size_t len;
    } cases[] = {
        {"local", reinterpret_cast<const sockaddr*>(&un), sizeof un},
        {"IPv4 cut short", reinterpret_cast<const sockaddr*>(&in), sizeof in - 1},
        {"IPv6 cut short", reinterpret_cast<const sockaddr*>(&in6), sizeof(sockaddr_in)},
        {"none", nullptr, 0},
    };
    for (const Case& c : cases) {
        plat::SockAddr out;
        std::memset(&out, 0xEE, sizeof out);
        EXPECT_FALSE(plat::fromSystemAddress(c.sa, c.len, &out)) << c.name;
        EXPECT_EQ(out.family, 0) << c.name << ": the record is cleared";
    }
}

// A resolver's answer as a list: in its order, each address once (the same
// bytes with another scope are another address), entries of other families
// or without an address passed over, and what the list held kept first.
TEST(SystemAddress, ALookupsAnswerBecomesTheListInItsOrderEachOnce) {
    std::vector<sockaddr_storage> records;
    std::vector<addrinfo> chain;
    std::vector<bool> withAddress;
    auto add = [&](int family, const char* address, uint32_t scope, bool hasAddress = true) {
        sockaddr_storage sys{};
        socklen_t len = 0;
        if (family == AF_INET) {
            sockaddr_in& in = reinterpret_cast<sockaddr_in&>(sys);
            in.sin_family = AF_INET;
            ::inet_pton(AF_INET, address, &in.sin_addr);
            len = sizeof in;
        } else if (family == AF_INET6) {
            sockaddr_in6& in6 = reinterpret_cast<sockaddr_in6&>(sys);
            in6.sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, address, &in6.sin6_addr);
            in6.sin6_scope_id = scope;
            len = sizeof in6;
        } else {
            sys.ss_family = static_cast<sa_family_t>(family);
            len = sizeof(sockaddr_un);
        }
        records.push_back(sys);
        addrinfo a{};
        a.ai_family = family;
        a.ai_addrlen = len;
        chain.push_back(a);
        withAddress.push_back(hasAddress);
    };
    add(AF_INET, "10.0.0.1", 0);  // already in the list
    add(AF_INET, "127.0.0.1", 0);
    add(AF_INET6, "::1", 0);
    add(AF_INET, "127.0.0.1", 0);  // again
    add(AF_UNIX, "", 0);
    add(AF_INET6, "fe80::1", 2);
    add(AF_INET6, "fe80::1", 3);
    add(AF_INET6, "::1", 0);  // again
    add(AF_INET, "192.0.2.1", 0, false);
    add(AF_INET, "192.0.2.2", 0);
    for (size_t i = 0; i < chain.size(); ++i) {
        chain[i].ai_addr = withAddress[i] ? reinterpret_cast<sockaddr*>(&records[i]) : nullptr;
        chain[i].ai_next = i + 1 < chain.size() ? &chain[i + 1] : nullptr;
    }

    std::vector<plat::SockAddr> list{layerAddress(plat::kAfInet, "10.0.0.1", 0, 0)};
    plat::appendAddresses(chain.data(), &list);
    std::vector<std::string> got;
    for (const plat::SockAddr& a : list) got.push_back(text(a));
    EXPECT_EQ(got, (std::vector<std::string>{"2 10.0.0.1%0", "2 127.0.0.1%0", "23 ::1%0",
                                             "23 fe80::1%2", "23 fe80::1%3", "2 192.0.2.2%0"}));
    for (const plat::SockAddr& a : list) EXPECT_EQ(a.port, 0);

    std::vector<plat::SockAddr> none;
    plat::appendAddresses(nullptr, &none);
    EXPECT_TRUE(none.empty());
}

}  // namespace
