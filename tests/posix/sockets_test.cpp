// Socket calls outside the event rules: argument checks, a plain blocking
// socket before any selection, failures after the peer went away (without
// SIGPIPE), and the address helpers.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "harness.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

std::atomic<int> sigpipes{0};

TEST(Sockets, OnlyTcpOverIpv4) {
    struct Case {
        int af, type, protocol, error;
    } cases[] = {
        {23, 1, 6, 10047},  // IPv6 family
        {2, 2, 17, 10044},  // datagram
        {2, 1, 17, 10043},  // UDP over a stream
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plat::socket(c.af, c.type, c.protocol), plat::kInvalidSocket);
        EXPECT_EQ(plat::WSAGetLastError(), c.error) << c.af << "," << c.type << "," << c.protocol;
    }
}

TEST(Sockets, CallsOnAnythingButOurSocketFail) {
    int pair[2];
    systemPair(pair);
    plat::Socket notOurs[] = {pair[0], -1, 99999};
    char buf[4];
    plat::SockAddrIn a = loopback(1);
    for (plat::Socket s : notOurs) {
        EXPECT_EQ(plat::send(s, "x", 1, 0), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), 10038);
        EXPECT_EQ(plat::recv(s, buf, 4, 0), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), 10038);
        EXPECT_EQ(plat::connect(s, &a, sizeof a), plat::kSocketError);
        EXPECT_EQ(plat::closesocket(s), plat::kSocketError);
        EXPECT_EQ(plat::WSAAsyncSelect(s, nullptr, 0, 0), plat::kSocketError);
    }
    peerClose(pair[0]);
    peerClose(pair[1]);
}

TEST(Sockets, LastErrorBelongsToTheThread) {
    EXPECT_EQ(plat::send(-1, "x", 1, 0), plat::kSocketError);
    int there = -1;
    std::thread([&] {
        plat::socket(2, 2, 17);
        there = plat::WSAGetLastError();
    }).join();
    EXPECT_EQ(there, 10044);
    EXPECT_EQ(plat::WSAGetLastError(), 10038);
}

// Selection is served as the library uses it: once, to a window of this
// thread, for all four events, before the connect; a socket is connected
// once and sent on without flags. Any other use fails instead of being
// half served.
TEST(Sockets, UsesOutsideTheLibrarysWayAreRefused) {
    Listener l = listenLoopback();
    plat::Hwnd w = makeWindow();
    auto fresh = [] { return plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp); };
    auto refused = [](int result) {
        return result == plat::kSocketError && plat::WSAGetLastError() == plat::kErrInvalid;
    };
    plat::SockAddrIn a = loopback(l.port);

    plat::Socket s = fresh();
    EXPECT_TRUE(refused(plat::WSAAsyncSelect(s, w, kNetNotify, plat::kFdRead | plat::kFdClose)))
        << "some of the events";
    EXPECT_TRUE(refused(plat::WSAAsyncSelect(s, nullptr, kNetNotify, kAllEvents))) << "no window";
    ASSERT_EQ(plat::WSAAsyncSelect(s, w, kNetNotify, kAllEvents), 0);
    EXPECT_TRUE(refused(plat::WSAAsyncSelect(s, w, kNetNotify, kAllEvents))) << "again";
    plat::connect(s, &a, sizeof a);
    EXPECT_TRUE(refused(plat::connect(s, &a, sizeof a))) << "a second connect";
    plat::closesocket(s);

    s = fresh();
    ASSERT_EQ(plat::connect(s, &a, sizeof a), 0);
    EXPECT_TRUE(refused(plat::WSAAsyncSelect(s, w, kNetNotify, kAllEvents))) << "after connect";
    char buf[4];
    EXPECT_TRUE(refused(plat::send(s, "x", 1, 1))) << "send flags";
    EXPECT_TRUE(refused(plat::recv(s, buf, sizeof buf, 2))) << "recv flags";
    plat::closesocket(s);
    dropWindow(w);
    closeListener(l);
}

TEST(Sockets, UnselectedSocketBlocksAndCarriesBytes) {
    Listener l = listenLoopback();
    plat::Socket s = plat::socket(2, 1, 6);
    plat::SockAddrIn a = loopback(l.port);
    ASSERT_EQ(plat::connect(s, &a, sizeof a), 0);
    int peer = acceptPeer(l);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(plat::send(s, "ping", 4, 0), 4);
    EXPECT_EQ(peerRead(peer, 4), "ping");
    ASSERT_TRUE(peerWrite(peer, "pong"));
    char buf[8];
    ASSERT_EQ(plat::recv(s, buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    peerClose(peer);
    EXPECT_EQ(plat::recv(s, buf, sizeof buf, 0), 0);
    EXPECT_EQ(plat::closesocket(s), 0);
    closeListener(l);
}

TEST(Sockets, SendAfterThePeerLeftFailsWithoutSigpipe) {
    struct sigaction sa {}, old{};
    sa.sa_handler = [](int) { ++sigpipes; };
    sigaction(SIGPIPE, &sa, &old);
    Listener l = listenLoopback();
    for (bool reset : {false, true}) {
        plat::Socket s = plat::socket(2, 1, 6);
        plat::SockAddrIn a = loopback(l.port);
        ASSERT_EQ(plat::connect(s, &a, sizeof a), 0);
        int peer = acceptPeer(l);
        ASSERT_GE(peer, 0);
        reset ? peerReset(peer) : peerClose(peer);
        int r = 0;
        for (int i = 0; i < 200 && r >= 0; ++i) {
            r = plat::send(s, "data", 4, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(r, plat::kSocketError);
        int e = plat::WSAGetLastError();
        EXPECT_TRUE(e == 10054 || e == 10058) << e;
        plat::closesocket(s);
    }
    closeListener(l);
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(sigpipes, 0);
}

TEST(Address, DottedQuadOnly) {
    struct Case {
        const char* text;
        uint32_t net;  // as the bytes would read in memory, big-endian
    } cases[] = {
        {"127.0.0.1", 0x7F000001},       {"0.0.0.0", 0},
        {"10.20.30.40", 0x0A141E28},     {"255.255.255.255", 0xFFFFFFFF},
        {"256.1.1.1", 0xFFFFFFFF},       {"1.2.3", 0xFFFFFFFF},
        {"1.2.3.4.5", 0xFFFFFFFF},       {"1.2.3.4 ", 0xFFFFFFFF},
        {"localhost", 0xFFFFFFFF},       {"", 0xFFFFFFFF},
        {"1..2.3", 0xFFFFFFFF},          {"010.0.0.1", 0xFFFFFFFF},
        {"-1.2.3.4", 0xFFFFFFFF},        {"0001.2.3.4", 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        uint32_t v = plat::inet_addr(c.text);
        unsigned char b[4];
        std::memcpy(b, &v, 4);
        uint32_t read = (uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        EXPECT_EQ(read, c.net) << '"' << c.text << '"';
    }
    EXPECT_EQ(plat::inet_addr(nullptr), plat::kInaddrNone);
    uint16_t port = plat::htons(0x1F90);
    unsigned char p[2];
    std::memcpy(p, &port, 2);
    EXPECT_EQ(p[0], 0x1F);
    EXPECT_EQ(p[1], 0x90);
}

}  // namespace
