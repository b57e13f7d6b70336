// The secure socket's rules, one by one, against the scripted peer speaking
// TLS on 127.0.0.1: FD_CONNECT after the handshake and the certificate
// check, FD_READ only for plaintext, recv's end only after the closing
// notice, and the calls refused outside the library's order.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "certs.h"
#include "harness.h"
#include "peer/peer.h"
#include "platform/numbers.h"

using namespace harness;

namespace {

class SecureSocket : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        std::string why;
        certs = e2e::testCerts(&why);
        ASSERT_FALSE(certs.empty()) << why;
        ASSERT_EQ(plat::WSAStartup(0x0101), 0);
    }
    void TearDown() override {
        if (sock != plat::kInvalidSocket) plat::closesocket(sock);
        peer::stopPeer(p);
        if (win) dropWindow(win);
        plat::WSACleanup();
    }

    // A secure socket for host, selected and connecting to a peer that
    // presents cert and plays script.
    void connectTo(peer::Cert cert, const peer::Script& script, const char* host = "127.0.0.1",
                   int flags = 0) {
        peer::useCert(p, certs, cert);
        std::string why;
        ASSERT_TRUE(peer::startPeer(p, script, 0, 0, &why)) << why;
        win = makeWindow();
        sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
        ASSERT_NE(sock, plat::kInvalidSocket);
        ASSERT_EQ(plat::secureSocket(sock, host, flags), 0);
        ASSERT_EQ(plat::WSAAsyncSelect(sock, win, kNetNotify, kAllEvents), 0);
        plat::SockAddr a = loopback(p.port);
        ASSERT_EQ(plat::connect(sock, &a, sizeof a), plat::kSocketError);
        ASSERT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);
    }
    int connectError() {
        EXPECT_TRUE(pumpUntil(win, [&] { return count(plat::kFdConnect) > 0; }));
        std::vector<Seen> c = events(win, plat::kFdConnect);
        return c.empty() ? -1 : errorOf(c[0].lParam);
    }
    size_t count(long event) { return events(win, static_cast<int>(event)).size(); }
    // Every byte recv gives until it stops; *error is its last error (0 when
    // it gave 0, the end).
    std::string drain(int* error) {
        std::string got;
        char buf[4096];
        int n;
        while ((n = plat::recv(sock, buf, sizeof buf, 0)) > 0) got.append(buf, n);
        *error = n == 0 ? 0 : plat::WSAGetLastError();
        return got;
    }

    std::string certs;
    peer::Peer p;
    plat::Socket sock = plat::kInvalidSocket;
    plat::Hwnd win = nullptr;
};

TEST_F(SecureSocket, ConnectWaitsForTheHandshakeAndTicketsRaiseNoRead) {
    // The peer says nothing after the handshake; a TLS 1.3 server still
    // sends its session tickets, which make the socket readable.
    connectTo(peer::Cert::Server, {peer::hold(3000), peer::close()});
    EXPECT_EQ(connectError(), 0);
    EXPECT_TRUE(pumpUntil(win, [&] { return count(plat::kFdWrite) == 1; }));
    pumpFor(win, 300);
    EXPECT_EQ(count(plat::kFdRead), 0u);
    EXPECT_EQ(count(plat::kFdClose), 0u);
    char buf[16];
    EXPECT_EQ(plat::recv(sock, buf, sizeof buf, 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrWouldBlock);
}

TEST_F(SecureSocket, PlaintextBothWaysAndTheEndOnlyWithTheClosingNotice) {
    struct Case {
        const char* what;
        peer::Step ending;
        int endError;  // recv's error at the end (0: it gave 0) and FD_CLOSE's
    };
    const Case cases[] = {
        {"closing notice, then the TCP end", peer::close(), 0},
        {"TCP end without the closing notice", peer::closeBare(), plat::kErrSecureTruncated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        connectTo(peer::Cert::Server, {peer::readHead(), peer::send("reply bytes"), c.ending});
        ASSERT_EQ(connectError(), 0);
        const std::string request = "GET / HTTP/1.0\r\n\r\n";
        ASSERT_EQ(plat::send(sock, request.data(), static_cast<int>(request.size()), 0),
                  static_cast<int>(request.size()));
        ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdRead) > 0; }));
        int error = -1;
        std::string got = drain(&error);
        // The close may not have arrived with the bytes: wait for its event.
        if (error == plat::kErrWouldBlock) {
            ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdClose) > 0; }));
            got += drain(&error);
        }
        EXPECT_EQ(got, "reply bytes");
        EXPECT_EQ(error, c.endError);
        ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdClose) > 0; }));
        EXPECT_EQ(errorOf(events(win, plat::kFdClose)[0].lParam), c.endError);
        peer::stopPeer(p);
        EXPECT_EQ(peer::received(p).at(0), request);
        plat::closesocket(sock);
        sock = plat::kInvalidSocket;
        dropWindow(win);
        win = nullptr;
    }
}

TEST_F(SecureSocket, HandshakeFailuresComeWithTheConnectEvent) {
    struct Case {
        const char* what;
        peer::Cert cert;
        const char* host;
        int flags;
        int connectError;
    };
    const Case cases[] = {
        {"self-signed", peer::Cert::Rogue, "127.0.0.1", 0, plat::kErrCertRejected},
        {"for another name", peer::Cert::Other, "localhost", 0, plat::kErrCertRejected},
        {"the name is not the address asked for", peer::Cert::Server, "127.0.0.2", 0,
         plat::kErrCertRejected},
        {"expired", peer::Cert::Expired, "localhost", 0, plat::kErrCertRejected},
        {"self-signed, checks off", peer::Cert::Rogue, "127.0.0.1", plat::kSecureNoVerify, 0},
        {"not TLS at all", peer::Cert::None, "127.0.0.1", 0, plat::kErrSecureFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        connectTo(c.cert, {peer::send("HTTP/1.0 200 OK\r\n\r\n"), peer::hold(3000), peer::close()},
                  c.host, c.flags);
        EXPECT_EQ(connectError(), c.connectError);
        pumpFor(win, 100);
        EXPECT_EQ(count(plat::kFdWrite), c.connectError == 0 ? 1u : 0u);
        EXPECT_EQ(count(plat::kFdConnect), 1u);
        plat::closesocket(sock);
        sock = plat::kInvalidSocket;
        peer::stopPeer(p);
        dropWindow(win);
        win = nullptr;
    }
}

// A socket that has spoken plainly (a proxy's CONNECT and its answer)
// turns secure on the same connection: the handshake starts at the call,
// its outcome comes as a second FD_CONNECT, and after it the socket follows
// the secure rules, down to the closing notice.
TEST_F(SecureSocket, StartsSecureOnAnOpenConnection) {
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    struct Case {
        const char* what;
        peer::Cert cert;
        peer::Script afterAnswer;  // the peer's script after its plain answer
        int connectError;          // the second FD_CONNECT's
    };
    const Case cases[] = {
        {"TLS with a trusted certificate", peer::Cert::Server,
         {peer::startTls(), peer::readHead(), peer::send("reply bytes"), peer::close()}, 0},
        {"a self-signed certificate", peer::Cert::Rogue,
         {peer::startTls(), peer::hold(3000), peer::close()}, plat::kErrCertRejected},
        {"plain text instead of TLS", peer::Cert::None,
         {peer::pause(200), peer::send("HTTP/1.1 400 Bad Request\r\n\r\n"), peer::close()},
         plat::kErrSecureFailed},
        {"the connection ends instead", peer::Cert::None, {peer::pause(200), peer::close()},
         plat::kErrSecureFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer::useCert(p, certs, c.cert);
        peer::Script script = {peer::readHead(), peer::send(established)};
        script.insert(script.end(), c.afterAnswer.begin(), c.afterAnswer.end());
        std::string why;
        ASSERT_TRUE(peer::startPeer(p, script, 0, 0, &why)) << why;
        win = makeWindow();
        sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
        ASSERT_EQ(plat::WSAAsyncSelect(sock, win, kNetNotify, kAllEvents), 0);
        plat::SockAddr a = loopback(p.port);
        plat::connect(sock, &a, sizeof a);
        ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdWrite) == 1; }));
        const std::string connect = "CONNECT origin.test:443 HTTP/1.1\r\n\r\n";
        ASSERT_EQ(plat::send(sock, connect.data(), static_cast<int>(connect.size()), 0),
                  static_cast<int>(connect.size()));
        ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdRead) > 0; }));
        int error = -1;
        EXPECT_EQ(drain(&error), established);
        EXPECT_EQ(error, plat::kErrWouldBlock);

        ASSERT_EQ(plat::startSecure(sock, "127.0.0.1", 0), 0);
        ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdConnect) == 2; }));
        EXPECT_EQ(errorOf(events(win, plat::kFdConnect)[1].lParam), c.connectError);
        if (c.connectError == 0) {
            ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdWrite) == 2; }));
            const std::string request = "GET / HTTP/1.0\r\n\r\n";
            ASSERT_EQ(plat::send(sock, request.data(), static_cast<int>(request.size()), 0),
                      static_cast<int>(request.size()));
            ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdRead) > 1; }));
            std::string got = drain(&error);
            if (error == plat::kErrWouldBlock) {
                ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdClose) > 0; }));
                got += drain(&error);
            }
            EXPECT_EQ(got, "reply bytes");
            EXPECT_EQ(error, 0) << "the end only with the closing notice";
            ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdClose) > 0; }));
            EXPECT_EQ(errorOf(events(win, plat::kFdClose)[0].lParam), 0);
        } else {
            pumpFor(win, 100);
            EXPECT_EQ(count(plat::kFdWrite), 1u) << "no FD_WRITE after a failed handshake";
        }
        plat::closesocket(sock);
        sock = plat::kInvalidSocket;
        peer::stopPeer(p);
        std::string sent = connect + (c.connectError == 0 ? "GET / HTTP/1.0\r\n\r\n" : "");
        if (c.cert != peer::Cert::None) {
            EXPECT_EQ(peer::received(p).at(0), sent);
        }
        dropWindow(win);
        win = nullptr;
    }
}

// startSecure takes only a socket of this thread that is selected,
// connected and not secure yet, with a host and known flags; a refusal
// posts nothing.
TEST_F(SecureSocket, StartsSecureOnlyOnAConnectedSelectedSocket) {
    win = makeWindow();
    EXPECT_EQ(plat::startSecure(12345, "h", 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrNotSocket);
    sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
    EXPECT_EQ(plat::startSecure(sock, "h", 0), plat::kSocketError) << "not selected";
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
    ASSERT_EQ(plat::WSAAsyncSelect(sock, win, kNetNotify, kAllEvents), 0);
    EXPECT_EQ(plat::startSecure(sock, "h", 0), plat::kSocketError) << "not connected";
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);

    std::string why;
    ASSERT_TRUE(peer::startPeer(p, {peer::hold(3000), peer::close()}, 0, 0, &why)) << why;
    plat::SockAddr a = loopback(p.port);
    plat::connect(sock, &a, sizeof a);
    ASSERT_TRUE(pumpUntil(win, [&] { return count(plat::kFdWrite) == 1; }));
    for (const char* host : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(plat::startSecure(sock, host, 0), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
    }
    EXPECT_EQ(plat::startSecure(sock, "h", 4), plat::kSocketError) << "unknown flag";
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
    pumpFor(win, 100);
    EXPECT_EQ(count(plat::kFdConnect), 1u) << "a refusal posts nothing";
    ASSERT_EQ(plat::startSecure(sock, "h", 0), 0);
    EXPECT_EQ(plat::startSecure(sock, "h", 0), plat::kSocketError) << "twice";
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
}

TEST_F(SecureSocket, MadeSecureOnlyBeforeItIsSelected) {
    win = makeWindow();
    EXPECT_EQ(plat::secureSocket(12345, "h", 0), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrNotSocket);
    sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
    for (const char* host : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(plat::secureSocket(sock, host, 0), plat::kSocketError);
        EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
    }
    EXPECT_EQ(plat::secureSocket(sock, "h", 4), plat::kSocketError) << "unknown flag";
    ASSERT_EQ(plat::secureSocket(sock, "h", 0), 0);
    EXPECT_EQ(plat::secureSocket(sock, "h", 0), plat::kSocketError) << "twice";
    // Its handshake runs on events: a connect before the selection is refused.
    plat::SockAddr a = loopback(closedPort());
    EXPECT_EQ(plat::connect(sock, &a, sizeof a), plat::kSocketError);
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
    plat::closesocket(sock);

    sock = plat::socket(plat::kAfInet, plat::kSockStream, plat::kIpprotoTcp);
    ASSERT_EQ(plat::WSAAsyncSelect(sock, win, kNetNotify, kAllEvents), 0);
    EXPECT_EQ(plat::secureSocket(sock, "h", 0), plat::kSocketError) << "after the selection";
    EXPECT_EQ(plat::WSAGetLastError(), plat::kErrInvalid);
}

}  // namespace
