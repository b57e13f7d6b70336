// Several threads, each with its own windows and queue, running whole
// exchanges at the same time: lookup, connect, send, receive, close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 3;

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
    alignas(8) char hostbuf[1024];
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
        const plat::HostEnt* he = reinterpret_cast<const plat::HostEnt*>(x.hostbuf);
        plat::SockAddrIn a = loopback(x.port);
        std::memcpy(&a.sin_addr, he->h_addr_list[0], 4);
        x.sock = plat::socket(2, 1, 6);
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
                // By name on even threads, by address on odd ones.
                plat::Handle task =
                    t % 2 == 0
                        ? plat::WSAAsyncGetHostByName(w, kHostNotify, "localhost", x.hostbuf, 1024)
                        : plat::WSAAsyncGetHostByAddr(w, kHostNotify, "\x7f\0\0\x01", 4, 2,
                                                      x.hostbuf, 1024);
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

// A socket whose loop runs on one thread can be written from another: the
// would-block there still brings FD_WRITE to the owner's loop.
TEST(Threads, WouldBlockOnAnotherThreadWakesTheOwner) {
    Listener l = listenLoopback();
    plat::Hwnd w = makeWindow();
    plat::Socket s = plat::socket(2, 1, 6);
    ASSERT_EQ(plat::WSAAsyncSelect(s, w, kNetNotify, kAllEvents), 0);
    plat::SockAddrIn a = loopback(l.port);
    plat::connect(s, &a, sizeof a);
    int peer = acceptPeer(l);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(pumpUntil(w, [&] { return !events(w, plat::kFdWrite).empty(); }));

    // The owner waits in its loop while the writer fills the socket and
    // then lets the peer drain it.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string chunk(1 << 16, 'x');
        size_t total = 0;
        for (int i = 0; i < 4096; ++i) {
            int r = plat::send(s, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (r < 0) break;
            total += static_cast<size_t>(r);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peerRead(peer, total);
    });
    EXPECT_TRUE(pumpUntil(w, [&] { return events(w, plat::kFdWrite).size() == 2; }));
    writer.join();
    plat::closesocket(s);
    peerClose(peer);
    dropWindow(w);
    closeListener(l);
}

}  // namespace
