// Kept connections over the fake platform: what a request that may keep its
// connection sends, how its reply is framed, which replies leave the
// connection kept, the next call on it, one its server closed meanwhile, and
// the pool's bounds.
#include "exchange_fixture.h"

namespace {

constexpr const char* kOk = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

class KeepAlive : public Exchange {
protected:
    void SetUp() override {
        Exchange::SetUp();
        closeConnections();
        httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 0);
        closeConnections();
        Exchange::TearDown();
    }
    // An event of socket sock (the fake hands out the lowest free handle
    // from SOCK up).
    static fake::Posted netOf(plat::Socket sock, long event) {
        fake::Posted p = net(event);
        p.wParam = static_cast<plat::WParam>(sock);
        return p;
    }
    // A reply on a new connection, sock, that is not closed after it.
    void scriptOpen(const std::string& reply, plat::Socket sock = SOCK) {
        auto& s = fake::state();
        s.incoming = {hostDone(), netOf(sock, plat_FD_CONNECT), netOf(sock, plat_FD_READ)};
        s.recvScript = {fake::bytes(reply)};
    }
    // The next call's reply on the kept connection sock.
    void scriptKept(const std::string& reply, plat::Socket sock = SOCK) {
        auto& s = fake::state();
        s.incoming = {netOf(sock, plat_FD_READ)};
        s.recvScript = {fake::bytes(reply)};
    }
};

TEST_F(KeepAlive, RequestIsHttp11WithoutConnectionClose) {
    scriptOpen(kOk);
    EXPECT_EQ(httpGet("http://server:8080/a", out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent(),
              "GET /a HTTP/1.1\r\nUser-Agent: Quodra/2.0.0\r\nHost: server:8080\r\n\r\n");
}

// Which replies leave the connection fit for another request, and what
// each stores.
TEST_F(KeepAlive, ReplyFramingDecidesWhetherTheConnectionIsKept) {
    struct Case {
        const char* reply;
        bool closes;  // the server closes after it (a reply read to the close)
        int result;
        const char* body;
        bool kept;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, 0, "hello", true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", false, 0,
         "hello", true},
        // The coding overrides a length.
        {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3;ext=\"a b\"\r\nhel\r\n2\r\nlo\r\n0\r\nX-Trailer: t\r\n\r\n",
         false, 0, "hello", true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n", false, 0,
         "z", true},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 0,
         "ok", true},
        {"HTTP/1.1 204 No Content\r\n\r\n", false, 0, "", true},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok", false, 0, "ok",
         true},
        {"HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 2\r\n\r\nok", false,
         0, "ok", false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 0, "ok", false},
        // Bytes after the reply: the connection is out of step.
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1", false, 0, "ok", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\nX", false, 0, "ok",
         false},
        {"HTTP/1.1 204 No Content\r\n\r\nX", false, 0, "", false},
        // No framing: read to the close, which ends the connection.
        {"HTTP/1.1 200 OK\r\n\r\nto the end", true, 0, "to the end", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nzz", true, 0, "zz", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        fake::reset();
        scriptOpen(c.reply);
        if (c.closes) fake::state().recvScript.push_back(fake::closed());
        EXPECT_EQ(httpGet("http://server/", out.c_str(), 0), c.result);
        EXPECT_EQ(readAll(out), c.body);
        EXPECT_EQ(fake::state().openSockets, c.kept ? 1 : 0);
        EXPECT_EQ(closeConnections(), c.kept ? 1 : 0);
    }
}

// A chunked body that breaks or is cut never reads as whole, and its
// connection is not kept.
TEST_F(KeepAlive, HostileChunkingFailsTheCall) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        std::string body;
        bool closes;
        int result;
    };
    const Case cases[] = {
        {"zz\r\nhello\r\n0\r\n\r\n", false, RESULT_MALFORMED_HEAD},      // size not hex
        {"-5\r\nhello\r\n0\r\n\r\n", false, RESULT_MALFORMED_HEAD},      // a sign
        {"10000000000000000\r\n", false, RESULT_MALFORMED_HEAD},         // past 63 bits
        {"5\r\nhelloX\r\n0\r\n\r\n", false, RESULT_MALFORMED_HEAD},      // data overruns
        {"5" + std::string(REPLY_HEAD_LIMIT, ' ') + "\r\n", false, RESULT_MALFORMED_HEAD},
        {"5\r\nhel", true, RESULT_ENDED_EARLY},                            // cut in a chunk
        {"7fffffffffffffff\r\nabc", true, RESULT_ENDED_EARLY},             // huge, then cut
        {"5\r\nhello\r\n", true, RESULT_ENDED_EARLY},                      // no last chunk
        {"5\r\nhello\r\n0\r\nX-T: 1\r\n", true, RESULT_ENDED_EARLY},       // trailers cut
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 40));
        fake::reset();
        scriptOpen(head + c.body);
        if (c.closes) fake::state().recvScript.push_back(fake::closed());
        EXPECT_EQ(httpGet("http://server/", out.c_str(), 0), c.result);
        EXPECT_EQ(fake::state().openSockets, 0);
        EXPECT_EQ(closeConnections(), 0);
    }
}

// The same request over HTTP/1.0 reads a chunked reply as it always did:
// the coding is the body.
TEST_F(KeepAlive, OptionOffLeavesAChunkedReplyAsItCame) {
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 0);
    const std::string body = "5\r\nhello\r\n0\r\n\r\n";
    scriptReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body);
    EXPECT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), body);
    EXPECT_EQ(fake::sent(), "GET / HTTP/1.0\r\nUser-Agent: Quodra/2.0.0\r\nConnection: close\r\n"
                            "Host: server\r\n\r\n");
    EXPECT_EQ(fake::state().openSockets, 0);
}

TEST_F(KeepAlive, NextCallToTheOriginSendsOnTheKeptConnection) {
    scriptOpen(kOk);
    ASSERT_EQ(httpGet("http://Server/a", out.c_str(), 0), 0);
    scriptKept("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nbye");
    EXPECT_EQ(httpGet("http://server/b", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "bye");
    const auto& s = fake::state();
    EXPECT_EQ(s.lookups.size(), 1u);
    EXPECT_EQ(s.sockets.size(), 1u);
    EXPECT_EQ(s.connects.size(), 1u);
    EXPECT_EQ(s.idleChecks, 1);
    // Parked as the first call ended, selected again for the second.
    ASSERT_EQ(s.selects.size(), 4u);
    EXPECT_EQ(s.selects[1].second, 0);
    EXPECT_EQ(s.selects[2].second, 0x33);
    const std::string agent = "User-Agent: Quodra/2.0.0\r\n";
    EXPECT_EQ(fake::sent(), "GET /a HTTP/1.1\r\n" + agent + "Host: Server\r\n\r\n" +
                                "GET /b HTTP/1.1\r\n" + agent + "Host: server\r\n\r\n");
    EXPECT_EQ(closeConnections(), 1);
}

// Only the same scheme, host, port and certificate checks share one.
TEST_F(KeepAlive, OtherOriginsGetConnectionsOfTheirOwn) {
    const char* urls[] = {"http://server/", "http://server:81/", "http://other/",
                          "https://server:80/"};
    plat::Socket sock = SOCK;
    for (const char* url : urls) {
        SCOPED_TRACE(url);
        scriptOpen(kOk, sock++);
        EXPECT_EQ(httpGet(url, out.c_str(), 0), 0);
    }
    EXPECT_EQ(fake::state().sockets.size(), 4u);
    EXPECT_EQ(fake::state().idleChecks, 0);
    EXPECT_EQ(closeConnections(), 4);
}

TEST_F(KeepAlive, PoolKeepsAtMostFourAndTheNewest) {
    for (int port = 81; port <= 85; ++port) {
        scriptOpen(kOk, SOCK + port - 81);
        std::string url = "http://server:" + std::to_string(port) + "/";
        ASSERT_EQ(httpGet(url.c_str(), out.c_str(), 0), 0);
        fake::state().tick += 10;
    }
    EXPECT_EQ(fake::state().openSockets, KEPT_MAX);
    // The first went for the fifth: a call to it connects anew.
    scriptOpen(kOk);
    EXPECT_EQ(httpGet("http://server:81/", out.c_str(), 0), 0);
    EXPECT_EQ(fake::state().sockets.size(), 6u);
    scriptKept(kOk, SOCK + 4);
    EXPECT_EQ(httpGet("http://server:85/", out.c_str(), 0), 0);
    EXPECT_EQ(fake::state().sockets.size(), 6u);
    EXPECT_EQ(closeConnections(), KEPT_MAX);
}

TEST_F(KeepAlive, ConnectionUnusedForTheIdleTimeIsClosed) {
    scriptOpen(kOk);
    ASSERT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    fake::state().tick += KEPT_IDLE_MS - 1;
    scriptKept(kOk);
    ASSERT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    EXPECT_EQ(fake::state().sockets.size(), 1u);
    fake::state().tick += KEPT_IDLE_MS;
    scriptOpen(kOk);
    ASSERT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    EXPECT_EQ(fake::state().sockets.size(), 2u);
    EXPECT_EQ(fake::state().closedSockets.size(), 1u);
    EXPECT_EQ(closeConnections(), 1);
}

// A kept connection found closed before any of the reply came: the request
// goes once more on a new connection, its body read again.
TEST_F(KeepAlive, ConnectionClosedMeanwhileIsReplacedOnce) {
    struct Case {
        const char* what;
        std::deque<fake::Step> sends;  // on the kept connection
        fake::Step recv;               // what it then reads
    };
    const Case cases[] = {
        {"ended at once", {}, fake::closed()},
        {"reset", {}, fake::fail(plat::kErrConnReset)},
        {"send refused", {fake::fail(plat::kErrConnReset)}, fake::closed()},
        {"send after the end", {fake::fail(plat::kErrShutdown)}, fake::closed()},
    };
    writeInput("body!");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        scriptOpen(kOk);
        ASSERT_EQ(httpGet("http://server/f", out.c_str(), 0), 0);
        auto& s = fake::state();
        s.sent.clear();
        // The new connection's server lets the body come, then answers.
        s.incoming = {net(plat_FD_READ), hostDone(), net(plat_FD_CONNECT), net(plat_FD_READ)};
        s.sendScript = c.sends;
        s.recvScript = {c.recv, fake::bytes("HTTP/1.1 100 Continue\r\n\r\n"),
                        fake::bytes("HTTP/1.1 201 Created\r\nContent-Length: 3\r\n\r\nnew")};
        EXPECT_EQ(davPut("http://server/f", in.c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(readAll(out), "new");
        EXPECT_EQ(s.sockets.size(), 2u);
        EXPECT_EQ(s.lookups.size(), 2u);
        // The whole request, body included, went out on the new connection.
        const std::string put = "PUT /f HTTP/1.1\r\nUser-Agent: Quodra/2.0.0\r\nHost: server\r\n"
                                "Content-Length: 5\r\nExpect: 100-continue\r\n\r\nbody!";
        EXPECT_EQ(s.sent.substr(s.sent.size() - put.size()), put);
        EXPECT_EQ(closeConnections(), 1);
    }
}

// Once a byte of the reply has come the call is the reply's, cut or not;
// and the new connection is tried once, not again.
TEST_F(KeepAlive, NothingIsSentAgainAfterTheReplyBeganOrTwice) {
    scriptOpen(kOk);
    ASSERT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    auto& s = fake::state();
    s.incoming = {net(plat_FD_READ)};
    s.recvScript = {fake::bytes("HTTP/1.1 200 OK\r\nContent-Le"), fake::closed()};
    EXPECT_EQ(httpGet("http://server/", out.c_str(), 0), RESULT_ENDED_EARLY);
    EXPECT_EQ(s.sockets.size(), 1u);

    scriptOpen(kOk);
    ASSERT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    s.incoming = {net(plat_FD_READ), hostDone(), net(plat_FD_CONNECT), net(plat_FD_READ)};
    s.recvScript = {fake::closed(), fake::closed()};
    EXPECT_EQ(httpGet("http://server/", out.c_str(), 0), RESULT_ENDED_EARLY);
    EXPECT_EQ(s.sockets.size(), 3u);
    EXPECT_EQ(closeConnections(), 0);
}

// A kept connection its server is seen to have closed is not sent on.
TEST_F(KeepAlive, ConnectionSeenClosedIsPassedOver) {
    scriptOpen(kOk);
    ASSERT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    auto& s = fake::state();
    s.idleOpen = 0;
    s.sent.clear();
    scriptOpen(kOk);
    EXPECT_EQ(httpGet("http://server/", out.c_str(), 0), 0);
    EXPECT_EQ(s.sockets.size(), 2u);
    // Closed before the new one was made, and the request sent once.
    ASSERT_EQ(s.closedSockets.size(), 1u);
    EXPECT_EQ(s.closedSockets[0], s.sockets[0].sock);
    EXPECT_EQ(s.sent, "GET / HTTP/1.1\r\nUser-Agent: Quodra/2.0.0\r\nHost: server\r\n\r\n");
    EXPECT_EQ(closeConnections(), 1);
}

// A PUT's body waits for the server's word: it goes on the interim answer
// or when the wait runs out, and never after a final answer that came
// first, whose connection is then not kept.
TEST_F(KeepAlive, PutBodyWaitsForTheServersWord) {
    const std::string head = "PUT /f HTTP/1.1\r\nUser-Agent: Quodra/2.0.0\r\nHost: server\r\n"
                             "Content-Length: 5\r\nExpect: 100-continue\r\n\r\n";
    const fake::Posted waitOver = {nullptr, 0x113, CONTINUE_TIMER, 0};
    struct Case {
        const char* what;
        std::vector<fake::Posted> events;  // after the connect
        std::deque<fake::Step> replies;
        bool bodySent;
        const char* body;
        bool kept;
    };
    const Case cases[] = {
        {"continue", {net(plat_FD_READ)},
         {fake::bytes("HTTP/1.1 100 Continue\r\n\r\n"),
          fake::bytes("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok")},
         true, "ok", true},
        {"no word: the wait runs out", {waitOver, net(plat_FD_READ)},
         {fake::bytes("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok")}, true, "ok", true},
        {"401 first", {net(plat_FD_READ)},
         {fake::bytes("HTTP/1.1 401 No\r\nWWW-Authenticate: Basic realm=\"r\"\r\n"
                      "Content-Length: 2\r\n\r\nno")},
         false, "no", false},
        {"413 first", {net(plat_FD_READ)},
         {fake::bytes("HTTP/1.1 413 Too Large\r\nContent-Length: 3\r\n\r\nbig")}, false, "big",
         false},
    };
    writeInput("body!");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        auto& s = fake::state();
        s.incoming = {hostDone(), net(plat_FD_CONNECT)};
        s.incoming.insert(s.incoming.end(), c.events.begin(), c.events.end());
        s.recvScript = c.replies;
        EXPECT_EQ(davPut("http://server/f", in.c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(fake::sent(), c.bodySent ? head + "body!" : head);
        EXPECT_EQ(readAll(out), c.body);
        EXPECT_EQ(s.liveTimers, 0);
        EXPECT_EQ(closeConnections(), c.kept ? 1 : 0);
    }

    // A redirect that comes first is followed without the body ever going
    // to the first URL; its connection, waiting for that body, is not kept.
    fake::reset();
    auto& s = fake::state();
    s.incoming = {hostDone(), net(plat_FD_CONNECT), net(plat_FD_READ),
                  hostDone(), net(plat_FD_CONNECT), net(plat_FD_READ)};
    s.recvScript = {
        fake::bytes("HTTP/1.1 307 Elsewhere\r\nLocation: /g\r\nContent-Length: 0\r\n\r\n"),
        fake::bytes("HTTP/1.1 100 Continue\r\n\r\n"),
        fake::bytes("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok")};
    EXPECT_EQ(davPut("http://server/f", in.c_str(), out.c_str(), 0), 0);
    std::string second = head;
    second.replace(0, 6, "PUT /g");
    EXPECT_EQ(fake::sent(), head + second + "body!");
    EXPECT_EQ(readAll(out), "ok");
    EXPECT_EQ(s.sockets.size(), 2u);
    EXPECT_EQ(closeConnections(), 1);
}

// Only a body worth holding back waits: a PUT's, or one over the bound; and
// only when the connection may be kept.
TEST_F(KeepAlive, OnlyPutsAndLargeBodiesAskToContinue) {
    writeInput("<propfind/>");
    scriptOpen("HTTP/1.1 207 Multi\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(davPropfind("http://server/", in.c_str(), out.c_str(), 0, 0), 0);
    EXPECT_EQ(fake::sent().find("Expect:"), std::string::npos);
    EXPECT_EQ(closeConnections(), 1);

    fake::reset();
    writeInput(std::string(EXPECT_CONTINUE_FROM + 1, 'x'));
    scriptOpen("HTTP/1.1 100 Continue\r\n\r\n");
    fake::state().recvScript.push_back(fake::bytes("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    EXPECT_EQ(httpPostFile("http://server/", in.c_str(), out.c_str(), 0), 0);
    EXPECT_NE(fake::sent().find("Expect: 100-continue\r\n\r\n--"), std::string::npos);
    EXPECT_EQ(closeConnections(), 1);

    fake::reset();
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 0);
    writeInput("body!");
    scriptReply("HTTP/1.0 201 Created\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(davPut("http://server/f", in.c_str(), out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent().find("Expect:"), std::string::npos);
}

}  // namespace
