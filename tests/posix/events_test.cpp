// The socket event rules, one by one, against a peer on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "harness.h"
#include "selected_socket.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

using SocketEvents = SelectedSocketTest;

TEST_F(SocketEvents, ConnectIsToldOnceAndFollowedByOneWrite) {
    connectSelected();
    pumpFor(win, 100);
    std::vector<Seen> all;
    for (const Seen& s : seen(win))
        if (s.msg == kNetNotify) all.push_back(s);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(eventOf(all[0].lParam), plat::kFdConnect);
    EXPECT_EQ(errorOf(all[0].lParam), 0);
    EXPECT_EQ(all[0].wParam, static_cast<plat::WParam>(sock));
    EXPECT_EQ(eventOf(all[1].lParam), plat::kFdWrite);
    EXPECT_EQ(errorOf(all[1].lParam), 0);
}

// A refused connect is told once, and nothing else follows for that socket:
// the core closes it and may get its number again for the next address.
TEST_F(SocketEvents, RefusedConnectIsPendingThenToldWithItsError) {
    for (bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        win = makeWindow();
        sock = plat::socket(v6 ? plat::kAfInet6 : plat::kAfInet, plat::kSockStream,
                            plat::kIpprotoTcp);
        ASSERT_EQ(plat::WSAAsyncSelect(sock, win, kNetNotify, kAllEvents), 0);
        plat::SockAddr a = loopback(closedPort(v6), v6);
        EXPECT_EQ(plat::connect(sock, &a, sizeof a), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);
        ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdConnect) == 1; }));
        EXPECT_EQ(errorOf(events(win, plat::kFdConnect)[0].lParam), plat::kErrConnRefused);
        pumpFor(win, 100);
        EXPECT_EQ(count(plat::kFdConnect), 1u);
        EXPECT_EQ(count(plat::kFdWrite), 0u);
        EXPECT_EQ(count(plat::kFdRead), 0u);
        EXPECT_EQ(count(plat::kFdClose), 0u);
        plat::closesocket(sock);
        sock = plat::kInvalidSocket;
        dropWindow(win);
        win = nullptr;
    }
}

TEST_F(SocketEvents, WriteIsToldAgainOnlyAfterSendWouldBlock) {
    connectSelected();
    ASSERT_EQ(plat::send(sock, "hello", 5, 0), 5);
    pumpFor(win, 100);
    EXPECT_EQ(count(plat::kFdWrite), 1u) << "FD_WRITE without a send that would block";

    std::string chunk(1 << 16, 'x');
    size_t total = 5;
    int r = 0;
    for (int i = 0; i < 4096 && r >= 0; ++i) {
        r = plat::send(sock, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (r > 0) total += static_cast<size_t>(r);
    }
    ASSERT_EQ(r, plat::kSocketError);
    ASSERT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);

    size_t drained = 0;
    std::thread drain([&] { drained = peerRead(peer, total).size(); });
    EXPECT_TRUE(pumpUntil(win, [&] { return count(plat::kFdWrite) == 2; }));
    drain.join();
    EXPECT_EQ(drained, total);
    pumpFor(win, 100);
    EXPECT_EQ(count(plat::kFdWrite), 2u);
}

TEST_F(SocketEvents, ReadIsToldOnceUntilRecvIsCalled) {
    connectSelected();
    ASSERT_TRUE(peerWrite(peer, std::string(100, 'a')));
    ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdRead) == 1; }));
    pumpFor(win, 100);
    EXPECT_EQ(count(plat::kFdRead), 1u) << "a second FD_READ before any recv";

    char buf[200];
    ASSERT_EQ(plat::recv(sock, buf, 10, 0), 10);
    EXPECT_TRUE(pumpUntil(win, [&] { return count(plat::kFdRead) == 2; }))
        << "no FD_READ although data still waits after a recv";

    ASSERT_EQ(plat::recv(sock, buf, sizeof buf, 0), 90);
    pumpFor(win, 100);
    EXPECT_EQ(count(plat::kFdRead), 2u) << "FD_READ with nothing waiting";
    EXPECT_EQ(plat::recv(sock, buf, sizeof buf, 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);

    ASSERT_TRUE(peerWrite(peer, "more"));
    EXPECT_TRUE(pumpUntil(win, [&] { return count(plat::kFdRead) == 3; }));
    EXPECT_EQ(count(plat::kFdClose), 0u);
}

TEST_F(SocketEvents, ResetIsToldAsCloseWithTheResetError) {
    connectSelected([&](plat::Hwnd, unsigned msg, plat::WParam, plat::LParam l) {
        char buf[64];
        if (msg == kNetNotify && eventOf(l) == plat::kFdRead)
            plat::recv(sock, buf, sizeof buf, 0);
    });
    peerReset(peer);
    peer = -1;
    ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdClose) == 1; }));
    EXPECT_EQ(errorOf(events(win, plat::kFdClose)[0].lParam), plat::kErrConnReset);
    pumpFor(win, 100);
    EXPECT_EQ(count(plat::kFdClose), 1u);
}

TEST_F(SocketEvents, ClosedSocketIsToldNothingMore) {
    connectSelected();
    plat::Socket old = sock;
    ASSERT_EQ(plat::closesocket(sock), 0);
    sock = plat::kInvalidSocket;
    ASSERT_TRUE(peerWrite(peer, "late"));
    peerClose(peer);
    peer = -1;
    pumpFor(win, 150);
    EXPECT_EQ(count(plat::kFdRead), 0u);
    EXPECT_EQ(count(plat::kFdClose), 0u);
    EXPECT_EQ(plat::send(old, "x", 1, 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), 10038);
}

// The peer sends its last bytes and closes at once. The reader takes at
// most 5000 bytes per FD_READ, often less than waits, so FD_READ must come
// again; every byte must have been read when FD_CLOSE arrives, and nothing
// comes after it.
class CloseAfterData : public SocketEvents,
                       public ::testing::WithParamInterface<size_t> {};

TEST_P(CloseAfterData, AllBytesAreReadBeforeTheClose) {
    std::string received;
    size_t atClose = std::string::npos;
    int closeError = -1;
    int eventsAfterClose = 0;
    connectSelected([&](plat::Hwnd, unsigned msg, plat::WParam, plat::LParam l) {
        if (msg != kNetNotify) return;
        if (atClose != std::string::npos) ++eventsAfterClose;
        if (eventOf(l) == plat::kFdRead) {
            char buf[5000];
            int n = plat::recv(sock, buf, sizeof buf, 0);
            if (n > 0) received.append(buf, static_cast<size_t>(n));
        } else if (eventOf(l) == plat::kFdClose) {
            atClose = received.size();
            closeError = errorOf(l);
        }
    });
    std::string payload(GetParam(), '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    int fd = peer;
    peer = -1;
    std::thread sender([&] {
        peerWrite(fd, payload);
        peerClose(fd);
    });
    EXPECT_TRUE(pumpUntil(win, [&] { return atClose != std::string::npos; }, 10000));
    sender.join();
    pumpFor(win, 100);
    EXPECT_EQ(closeError, 0);
    EXPECT_EQ(atClose, payload.size());
    EXPECT_TRUE(received == payload);
    EXPECT_EQ(eventsAfterClose, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CloseAfterData, ::testing::Values(3, 1 << 20));

}  // namespace
