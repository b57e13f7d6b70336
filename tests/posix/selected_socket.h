// A fixture for the socket tests: started sockets, a listener on 127.0.0.1,
// and (by connectSelected) a socket selected to a recording window and
// connected to an accepted peer. Whatever a test made is closed after it.
#pragma once

#include <gtest/gtest.h>

#include "harness.h"
#include "platform/numbers.h"

namespace harness {

class SelectedSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(plat::WSAStartup(0x0101), 0);
        listener = listenLoopback();
        ASSERT_GE(listener.fd, 0);
    }
    void TearDown() override {
        if (sock != plat::kInvalidSocket) plat::closesocket(sock);
        if (peer >= 0) peerClose(peer);
        closeListener(listener);
        if (win) dropWindow(win);
        plat::WSACleanup();
    }

    // A selected socket connected to an accepted peer, with its FD_WRITE
    // (the last event of the connect) already seen.
    void connectSelected(Handler handler = nullptr) {
        win = makeWindow(std::move(handler));
        ASSERT_NE(win, nullptr);
        sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
        ASSERT_NE(sock, plat::kInvalidSocket);
        ASSERT_EQ(plat::WSAAsyncSelect(sock, win, kNetNotify, kAllEvents), 0);
        plat::SockAddr a = loopback(listener.port);
        if (plat::connect(sock, &a, sizeof a) != 0) {
            ASSERT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);
        }
        peer = acceptPeer(listener);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(pumpUntil(win, [&] { return !events(win, plat::kFdWrite).empty(); }));
    }

    size_t count(long event) { return events(win, static_cast<int>(event)).size(); }

    Listener listener;
    int peer = -1;
    plat::Socket sock = plat::kInvalidSocket;
    plat::Hwnd win = nullptr;
};

}  // namespace harness
