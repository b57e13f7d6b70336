// Several threads, each with its own windows and queue, running whole
// exchanges at the same time: lookup, connect, send, receive, close; and
// what a thread makes staying its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/numbers.h"
#include "platform/posix/test_hooks.h"

using namespace harness;
namespace hooks = plat::posix::hooks;

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 3;
const std::string kErase = "\r\x1b[K";

// The peer: echoes what each connection sends, upper-cased, then closes.
void serve(Listener l, int connections) {
    for (int i = 0; i < connections; ++i) {
        int fd = acceptPeer(l, 10000);
        if (fd < 0) return;
        std::string got = peerRead(fd, 5);
        for (char& c : got) c = static_cast<char>(c - 'a' + 'A');
        peerWrite(fd, got);
        peerClose(fd);
    }
}

struct Exchange {
    uint16_t port;
    plat::SockAddr addrs[4];
    plat::Socket sock = plat::kInvalidSocket;
    std::string reply;
    bool sent = false;
    bool closed = false;
    int lookupError = -1;
    int otherThreadMessages = 0;
    std::thread::id thread;
};

void onMessage(Exchange& x, plat::Hwnd w, unsigned msg, plat::WParam wp, plat::LParam lp) {
    if (std::this_thread::get_id() != x.thread) ++x.otherThreadMessages;
    if (msg == kHostNotify) {
        x.lookupError = errorOf(lp);
        if (x.lookupError) return;
        plat::SockAddr a = x.addrs[0];
        a.port = plat::htons(x.port);
        x.sock = plat::socket(a.family, 1, 6);
        plat::WSAAsyncSelect(x.sock, w, kNetNotify, kAllEvents);
        plat::connect(x.sock, &a, sizeof a);
    } else if (msg == kNetNotify && static_cast<plat::Socket>(wp) == x.sock) {
        char buf[64];
        switch (eventOf(lp)) {
        case plat::kFdWrite:
            if (!x.sent) x.sent = plat::send(x.sock, "hello", 5, 0) == 5;
            break;
        case plat::kFdRead: {
            int n = plat::recv(x.sock, buf, sizeof buf, 0);
            if (n > 0) x.reply.append(buf, static_cast<size_t>(n));
            break;
        }
        case plat::kFdClose:
            plat::closesocket(x.sock);
            x.closed = true;
            break;
        }
    }
}

TEST(Threads, WholeExchangesOnSeveralThreadsAtOnce) {
    ASSERT_EQ(plat::WSAStartup(0x0101), 0);
    Listener l = listenLoopback();
    ASSERT_GE(l.fd, 0);
    std::thread server(serve, l, kThreads * kRounds);
    std::atomic<int> good{0};
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                Exchange x;
                x.port = l.port;
                x.thread = std::this_thread::get_id();
                plat::Hwnd w = makeWindow([&x](plat::Hwnd h, unsigned m, plat::WParam wp,
                                               plat::LParam lp) { onMessage(x, h, m, wp, lp); });
                // A name on even threads, the address itself on odd ones.
                plat::Handle task = plat::WSAAsyncGetAddrInfo(
                    w, kHostNotify, t % 2 == 0 ? "localhost" : "127.0.0.1", x.addrs, 1);
                bool done = task && pumpUntil(w, [&] { return x.closed || x.lookupError > 0; },
                                              10000);
                dropWindow(w);
                if (done && x.lookupError == 0 && x.reply == "HELLO" && !x.otherThreadMessages) {
                    ++good;
                } else {
                    failures[t] += "round " + std::to_string(round) + ": lookup " +
                                   std::to_string(x.lookupError) + ", reply '" + x.reply + "'; ";
                }
            }
        });
    }
    for (std::thread& c : clients) c.join();
    server.join();
    closeListener(l);
    plat::WSACleanup();
    EXPECT_EQ(good, kThreads * kRounds);
    for (const std::string& f : failures) EXPECT_EQ(f, "");
}

// Windows and sockets belong to the thread that made them: elsewhere their
// handles are unknown, and nothing reaches them from there.
TEST(Threads, AnotherThreadsWindowAndSocketAreUnknownHere) {
    std::atomic<plat::Hwnd> window{nullptr};
    std::atomic<plat::Socket> sock{plat::kInvalidSocket};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        plat::Hwnd w = makeWindow();
        sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
        window = w;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        plat::closesocket(sock);
        dropWindow(w);
    });
    while (!window) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    plat::Hwnd w = window;
    plat::Socket s = sock;
    ASSERT_NE(s, plat::kInvalidSocket);

    EXPECT_EQ(plat::PostMessageA(w, kNetNotify, 0, 0), 0);
    EXPECT_EQ(plat::ShowWindow(w, plat::kSwShow), 0);
    EXPECT_EQ(plat::SetTimer(w, 1, 10), 0u);
    plat::Msg m{w, kNetNotify, 0, 0};
    plat::DispatchMessageA(&m);
    EXPECT_TRUE(seen(w).empty()) << "dispatched to another thread's window";
    plat::SockAddr list[2];
    EXPECT_EQ(plat::WSAAsyncGetAddrInfo(w, kHostNotify, "localhost", list, 2), 0u);

    char byte = 'x';
    EXPECT_EQ(plat::send(s, &byte, 1, 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrNotSocket);
    EXPECT_EQ(plat::recv(s, &byte, 1, 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrNotSocket);
    EXPECT_EQ(plat::closesocket(s), plat::kSocketError);
    plat::Hwnd here = makeWindow();
    EXPECT_EQ(plat::WSAAsyncSelect(s, here, kNetNotify, kAllEvents), plat::kSocketError);
    plat::Socket mine = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
    EXPECT_EQ(plat::WSAAsyncSelect(mine, w, kNetNotify, kAllEvents), plat::kSocketError)
        << "selected to another thread's window";
    plat::closesocket(mine);
    dropWindow(here);
    release = true;
    owner.join();
}

// A thread that ends with a shown window and an open socket takes both
// along: the activity line is erased and the peer sees the end.
TEST(Threads, WhatAThreadLeavesEndsWithIt) {
    std::string screen;
    hooks::captureDisplay(&screen);
    Listener l = listenLoopback();
    ASSERT_GE(l.fd, 0);
    bool connected = false;
    std::thread([&] {
        plat::ShowWindow(makeWindow(), plat::kSwShow);
        plat::Socket s = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
        plat::SockAddr a = loopback(l.port);
        connected = plat::connect(s, &a, sizeof a) == 0;
    }).join();
    hooks::captureDisplay(nullptr);
    ASSERT_TRUE(connected);
    int peer = acceptPeer(l);
    ASSERT_GE(peer, 0);
    EXPECT_TRUE(peerSeesEnd(peer));
    EXPECT_EQ(screen.rfind("test: sent 0 B", kErase.size()), kErase.size()) << screen;
    EXPECT_EQ(screen.substr(screen.size() - kErase.size()), kErase) << "line left standing";
    peerClose(peer);
    closeListener(l);
}

}  // namespace
