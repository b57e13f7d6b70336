// Socket calls outside the event rules: argument checks, a plain blocking
// socket of either family before any selection, small segments sent at
// once, failures after the peer went away (without SIGPIPE), and the
// address helpers.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "harness.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

std::atomic<int> sigpipes{0};

TEST(Sockets, OnlyTcpOverIpv4OrIpv6) {
    struct Case {
        int af, type, protocol, error;
    } cases[] = {
        {1, 1, 0, 10047},    // a local socket
        {10, 1, 6, 10047},   // Linux's own number for IPv6: the layer's is 23
        {2, 2, 17, 10044},   // datagram
        {23, 1, 17, 10043},  // UDP over a stream
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plat::socket(c.af, c.type, c.protocol), plat::kInvalidSocket);
        EXPECT_EQ(plat::WSAGetLastError(), c.error) << c.af << "," << c.type << "," << c.protocol;
    }
}

// Each family's socket reaches a peer of its family; an address of the other
// family, or of neither, is refused at once.
TEST(Sockets, EitherFamilyCarriesBytesToItsLoopback) {
    for (bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        Listener l = listenLoopback(v6);
        ASSERT_GE(l.fd, 0);
        plat::Socket s = plat::socket(v6 ? plat::kAfInet6 : plat::kAfInet, plat::kSockStream,
                                      plat::kIpprotoTcp);
        ASSERT_NE(s, plat::kInvalidSocket);
        // Small sends go out at once, not held for the peer's acknowledgement
        // of the last one (the handle is the descriptor here).
        int nodelay = 0;
        socklen_t size = sizeof nodelay;
        ASSERT_EQ(::getsockopt(static_cast<int>(s), SOL_TCP, TCP_NODELAY, &nodelay, &size), 0);
        EXPECT_NE(nodelay, 0);
        plat::SockAddr a = loopback(l.port, v6);
        ASSERT_EQ(plat::connect(s, &a, sizeof a), 0);
        int peer = acceptPeer(l);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(plat::send(s, "ping", 4, 0), 4);
        EXPECT_EQ(peerRead(peer, 4), "ping");
        peerClose(peer);
        plat::closesocket(s);

        s = plat::socket(v6 ? plat::kAfInet : plat::kAfInet6, plat::kSockStream,
                         plat::kIpprotoTcp);
        EXPECT_EQ(plat::connect(s, &a, sizeof a), plat::kSocketError) << "the other family";
        plat::closesocket(s);
        s = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
        plat::SockAddr odd = a;
        odd.family = 10;
        EXPECT_EQ(plat::connect(s, &odd, sizeof odd), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), plat::kErrAfNoSupport);
        EXPECT_EQ(plat::connect(s, &a, sizeof a - 1), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), plat::kErrFault);
        plat::closesocket(s);
        closeListener(l);
    }
}

TEST(Sockets, CallsOnAnythingButOurSocketFail) {
    int pair[2];
    systemPair(pair);
    plat::Socket notOurs[] = {pair[0], -1, 99999};
    char buf[4];
    plat::SockAddr a = loopback(1);
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
    plat::SockAddr a = loopback(l.port);

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
    plat::SockAddr a = loopback(l.port);
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
        plat::SockAddr a = loopback(l.port);
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

TEST(Address, HtonsGivesNetworkOrder) {
    uint16_t port = plat::htons(0x1F90);
    unsigned char p[2];
    std::memcpy(p, &port, 2);
    EXPECT_EQ(p[0], 0x1F);
    EXPECT_EQ(p[1], 0x90);
}

}  // namespace
