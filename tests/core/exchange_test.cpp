// Whole exchanges through the driver and the event window, with the network
// played by the fake platform: what goes on the wire, what lands in the
// output file, which code the call returns and which boxes it shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "api/api.h"
#include "fake_platform.h"
#include "quodra.h"
#include "common/alloc.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

using namespace quodra;

namespace {

constexpr plat::Socket SOCK = 100;

fake::Posted hostDone(int error = 0) {
    return {nullptr, WM_HOSTNOTIFY, 0, static_cast<plat::LParam>(error) << 16};
}
fake::Posted net(long event, int error = 0) {
    return {nullptr, WM_NETNOTIFY, static_cast<plat::WParam>(SOCK),
            (static_cast<plat::LParam>(error) << 16) | event};
}

bool exists(const std::string& path) {
    std::ifstream in(path);
    return in.good();
}

int quits() {
    int n = 0;
    for (const fake::Posted& p : fake::state().posted)
        if (p.msg == 0x12) ++n;
    return n;
}

class Exchange : public ::testing::Test {
protected:
    std::string dir, out, in;

    void SetUp() override {
        fake::reset();
        setIdleLimit(0);
        char tmpl[] = "/tmp/quodra-exchange-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        out = dir + "/out.bin";
        in = dir + "/in.bin";
    }
    void TearDown() override {
        std::remove(out.c_str());
        std::remove(in.c_str());
        std::remove(dir.c_str());
        EXPECT_EQ(liveHead(), nullptr) << "a record outlived its call";
        EXPECT_EQ(fake::state().openInputs, 0);
        EXPECT_EQ(fake::state().openOutputs, 0);
    }

    void writeInput(const std::string& bytes) {
        std::ofstream f(in, std::ios::binary);
        f << bytes;
    }

    // A peer that accepts at once (connect pending, then its event), takes
    // the whole request and answers with reply, then closes in order.
    void scriptReply(const std::string& reply) {
        auto& s = fake::state();
        s.incoming = {hostDone(), net(plat_FD_CONNECT), net(plat_FD_READ),
                      net(plat_FD_CLOSE)};
        s.recvScript = {fake::bytes(reply), fake::closed()};
    }
    static constexpr long plat_FD_READ = 1, plat_FD_WRITE = 2,
                          plat_FD_CONNECT = 16, plat_FD_CLOSE = 32;
};

const char kHead[] = "User-Agent: Quodra/2.0.0\r\nConnection: close\r\n";

TEST_F(Exchange, GetStoresTheBodyAndSendsTheRequestWhole) {
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(httpGet("http://server:8080/a/b?x=1", out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent(), std::string("GET /a/b?x=1 HTTP/1.0\r\n") + kHead +
                                "Host: server\r\n\r\n");
    EXPECT_EQ(readAll(out), "hello");
    const auto& s = fake::state();
    ASSERT_EQ(s.lookups.size(), 1u);
    EXPECT_TRUE(s.lookups[0].byName);
    EXPECT_EQ(s.lookups[0].key, "server");
    EXPECT_EQ(s.lookups[0].buflen, 1024);
    ASSERT_EQ(s.selects.size(), 1u);
    EXPECT_EQ(s.selects[0].second, 0x33);
    EXPECT_EQ(quits(), 1);
    ASSERT_EQ(s.createdWindows.size(), 1u);
    ASSERT_EQ(s.destroyedWindows.size(), 1u);
    EXPECT_EQ(s.destroyedWindows[0], s.createdWindows[0]);
    EXPECT_EQ(s.shows, 0);
    EXPECT_TRUE(s.boxes.empty());
}

TEST_F(Exchange, NumericHostIsLookedUpByAddressAndSecondCallReusesClass) {
    scriptReply("HTTP/1.0 200 OK\r\n\r\nx");
    EXPECT_EQ(httpGet("http://127.0.0.1/", out.c_str(), 1), 0);
    ASSERT_EQ(fake::state().lookups.size(), 1u);
    EXPECT_FALSE(fake::state().lookups[0].byName);
    EXPECT_EQ(fake::state().lookups[0].key, std::string("\x7f\0\0\x01", 4));
    EXPECT_EQ(fake::state().shows, 5);
    scriptReply("HTTP/1.0 200 OK\r\n\r\ny");
    EXPECT_EQ(httpGet("http://127.0.0.1/", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "y");
}

TEST_F(Exchange, CallsPutTheirOwnLinesAndBodiesOnTheWire) {
    writeInput("<x/>");
    struct Case {
        const char* name;
        int (*call)(const std::string& in, const std::string& out);
        std::string wire;
    };
    const std::string tail = std::string(kHead) + "Host: h\r\n";
    const Case cases[] = {
        {"head", [](const std::string&, const std::string& o) {
             return httpHead("http://h/r", o.c_str(), 0); },
         "HEAD /r HTTP/1.0\r\n" + tail + "\r\n"},
        {"options", [](const std::string&, const std::string& o) {
             return davOptions("http://h/r", o.c_str(), 0); },
         "OPTIONS /r HTTP/1.0\r\n" + tail + "\r\n"},
        {"mkcol", [](const std::string&, const std::string& o) {
             return davMkcol("http://h/c/", o.c_str(), 0); },
         "MKCOL /c/ HTTP/1.0\r\n" + tail + "\r\n"},
        {"delete", [](const std::string&, const std::string& o) {
             return davDelete("http://h/r", o.c_str(), 0); },
         "DELETE /r HTTP/1.0\r\n" + tail + "\r\n"},
        {"put", [](const std::string& i, const std::string& o) {
             return davPut("http://h/r", i.c_str(), o.c_str(), 0); },
         "PUT /r HTTP/1.0\r\n" + tail + "Content-Length: 4\r\n\r\n<x/>"},
        {"propfind depth 1 with body", [](const std::string& i, const std::string& o) {
             return davPropfind("http://h/d/", i.c_str(), o.c_str(), 1, 0); },
         "PROPFIND /d/ HTTP/1.0\r\nDepth: 1\r\nContent-Type: text/xml\r\n" + tail +
             "Content-Length: 4\r\n\r\n<x/>"},
        {"propfind no depth, empty body path", [](const std::string&, const std::string& o) {
             return davPropfind("http://h/d/", "", o.c_str(), -1, 0); },
         "PROPFIND /d/ HTTP/1.0\r\n" + tail + "\r\n"},
        {"propfind widest depth", [](const std::string&, const std::string& o) {
             return davPropfind("http://h/d/", nullptr, o.c_str(), 2147483647, 0); },
         "PROPFIND /d/ HTTP/1.0\r\nDepth: 2147483647\r\n" + tail + "\r\n"},
        {"move", [](const std::string&, const std::string& o) {
             return davMove("http://h/a", "http://h/b", o.c_str(), 7, -7, 0); },
         "MOVE /a HTTP/1.0\r\nDestination: http://h/b\r\n" + tail + "\r\n"},
        {"copy, empty destination", [](const std::string&, const std::string& o) {
             return davCopy("http://h/a", "", o.c_str(), 0, 0, 0); },
         "COPY /a HTTP/1.0\r\nDestination: \r\n" + tail + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        scriptReply("HTTP/1.0 200 OK\r\n\r\nok");
        EXPECT_EQ(c.call(in, out), 0);
        EXPECT_EQ(fake::sent(), c.wire);
        EXPECT_EQ(readAll(out), "ok");
    }
}

TEST_F(Exchange, FormUploadSendsTheEnvelopeAroundTheFile) {
    writeInput("hello");
    scriptReply("HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(httpPostFile("http://h/up.php", in.c_str(), out.c_str(), 0), 0);
    std::string prologue = "--rAndOmSTufF\r\nContent-Disposition: form-data; "
                           "name=\"uploadfile\"; filename=\"" + in +
                           "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n";
    std::string epilogue = "\r\n--rAndOmSTufF--\r\n";
    std::string body = prologue + "hello" + epilogue;
    EXPECT_EQ(fake::sent(),
              "POST /up.php HTTP/1.0\r\n" + std::string(kHead) + "Host: h\r\n" +
                  "Content-Length: " + std::to_string(body.size()) + "\r\n" +
                  "Content-Type: multipart/form-data, boundary=rAndOmSTufF\r\n\r\n" +
                  body);
}

TEST_F(Exchange, RefusedArgumentsCreateNothing) {
    const char* u = "http://h/a";
    const char* o = out.c_str();
    const int results[] = {
        httpGet(nullptr, o, 0), httpGet(u, nullptr, 0), httpGet("", o, 0),
        httpGet("http://:80/a", o, 0), httpGet("http://h/a\r\nX: y", o, 0),
        httpHead(nullptr, o, 0), davOptions(u, nullptr, 0), davMkcol(nullptr, o, 0),
        davDelete(u, nullptr, 0), httpPostFile(u, nullptr, o, 0),
        httpPostFile(nullptr, "f", o, 0), davPut(u, nullptr, o, 0),
        davPut(u, "f", nullptr, 0), davPropfind(nullptr, nullptr, o, 0, 0),
        davPropfind(u, "f", nullptr, 0, 0), davMove(u, nullptr, o, 0, 0, 0),
        davMove(nullptr, "d", o, 0, 0, 0), davCopy(u, "d", nullptr, 0, 0, 0),
        davCopy(u, "http://h/b\r\nX: y", o, 0, 0, 0),
        davMove(u, "http://h/b\x7f", o, 0, 0, 0),
    };
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(results[i], 1) << "case " << i;
    EXPECT_TRUE(fake::state().createdWindows.empty());
    EXPECT_TRUE(fake::state().lookups.empty());
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(Exchange, PropfindWithoutBodyPathIsNotRefused) {
    scriptReply("HTTP/1.0 207 Multi-Status\r\n\r\n<m/>");
    EXPECT_EQ(davPropfind("http://h/", nullptr, out.c_str(), 0, 0), 0);
    EXPECT_EQ(readAll(out), "<m/>");
}

// Endings of every stage: the code, the box and exactly one quit per call.
TEST_F(Exchange, EveryEndingHasItsCodeBoxAndOneQuit) {
    struct Case {
        const char* name;
        void (*script)(fake::State&);
        int result;
        const char* box = nullptr;      // expected box text, or null for none
        const char* caption = nullptr;  // its caption
        int quits;
    };
    const Case cases[] = {
        {.name = "lookup fails", .script = [](fake::State& s) { s.incoming = {hostDone(11001)}; },
         .result = 11001, .box = "Could not get IP address (11001)", .caption = "server", .quits = 1},
        {.name = "lookup result without address", .script = [](fake::State& s) {
             s.lookupAddr = 0;
             s.incoming = {hostDone()}; },
         .result = 11004, .box = "Could not get IP address (11004)", .caption = "server", .quits = 1},
        {.name = "lookup cannot start", .script = [](fake::State& s) { s.lookupResult = 0; },
         .result = 1, .box = "Could not get IP address (1)", .caption = "server", .quits = 0},
        {.name = "no socket", .script = [](fake::State& s) {
             s.nextSocket = -1;
             s.incoming = {hostDone()}; },
         .result = 1, .box = "Invalid socket", .caption = "Quodra/2.0.0", .quits = 1},
        {.name = "connect fails at once", .script = [](fake::State& s) {
             s.connectError = 10061;
             s.incoming = {hostDone()}; },
         .result = 1, .box = "Error 10061 connecting socket", .caption = "Quodra/2.0.0", .quits = 1},
        {.name = "connect event carries refusal", .script = [](fake::State& s) {
             s.incoming = {hostDone(), net(16, 10061)}; },
         .result = 1, .quits = 1},
        {.name = "close before any reply", .script = [](fake::State& s) {
             s.incoming = {hostDone(), net(16), net(32)}; },
         .result = 4, .quits = 1},
        {.name = "reset before the reply was complete", .script = [](fake::State& s) {
             s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc")};
             s.incoming = {hostDone(), net(16), net(1), net(32, 10054)}; },
         .result = 10054, .quits = 1},
        {.name = "reset reported by the close, drain then sees an end", .script = [](fake::State& s) {
             s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\n\r\nabc"), fake::fail(10035),
                             fake::closed()};
             s.incoming = {hostDone(), net(16), net(1), net(32, 10054)}; },
         .result = 10054, .quits = 1},
        {.name = "body short of its length", .script = [](fake::State& s) {
             s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc"),
                             fake::closed()};
             s.incoming = {hostDone(), net(16), net(1), net(32)}; },
         .result = 4, .quits = 1},
        {.name = "events with would-block halves are dropped", .script = [](fake::State& s) {
             s.recvScript = {fake::bytes("HTTP/1.0 204 No Content\r\n\r\n"), fake::closed()};
             s.incoming = {hostDone(), net(16), net(32, 10035), net(1, 10035),
                           net(1), net(32)}; },
         .result = 0, .quits = 1},
        {.name = "events for an unknown socket do nothing", .script = [](fake::State& s) {
             s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\n\r\nz"), fake::closed()};
             s.incoming = {hostDone(), {nullptr, WM_NETNOTIFY, 7, 32}, net(16), net(1),
                           net(32)}; },
         .result = 0, .quits = 1},
        {.name = "loop fails: nothing more arrives", .script = [](fake::State& s) {
             s.incoming = {hostDone(), net(16)}; },
         .result = 1, .quits = 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        c.script(fake::state());
        EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), c.result);
        const auto& s = fake::state();
        if (c.box) {
            ASSERT_EQ(s.boxes.size(), 1u);
            EXPECT_EQ(s.boxes[0].text, c.box);
            EXPECT_EQ(s.boxes[0].caption, c.caption);
            EXPECT_EQ(s.boxes[0].type, 16u);
            EXPECT_EQ(s.boxes[0].owner, nullptr);
        } else {
            EXPECT_TRUE(s.boxes.empty());
        }
        EXPECT_EQ(quits(), c.quits);
        EXPECT_EQ(s.destroyedWindows.size(), 1u);
        EXPECT_EQ(s.openInputs + s.openOutputs, 0);
    }
}

// An https URL makes its socket secure for the URL's host between its
// creation and its selection; the request bytes are those of plain HTTP.
TEST_F(Exchange, SecureUrlMakesTheSocketSecureBeforeSelectingIt) {
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(httpGet("HTTPS://server/a", out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent(), std::string("GET /a HTTP/1.0\r\n") + kHead + "Host: server\r\n\r\n");
    EXPECT_EQ(readAll(out), "hello");
    const auto& s = fake::state();
    ASSERT_EQ(s.secured.size(), 1u);
    EXPECT_EQ(s.secured[0].sock, SOCK);
    EXPECT_EQ(s.secured[0].host, "server");
    EXPECT_EQ(s.secured[0].flags, 0);
    EXPECT_EQ(s.secured[0].selectsBefore, 0u);
    EXPECT_EQ(s.secured[0].connectsBefore, 0u);
    ASSERT_EQ(s.selects.size(), 1u);

    // Turning the checks off reaches the platform; other schemes stay plain.
    setTlsVerify(false);
    scriptReply("HTTP/1.0 200 OK\r\n\r\nx");
    int insecure = httpGet("https://127.0.0.1:8443/", out.c_str(), 0);
    setTlsVerify(true);
    EXPECT_EQ(insecure, 0);
    ASSERT_EQ(s.secured.size(), 2u);
    EXPECT_EQ(s.secured[1].host, "127.0.0.1");
    EXPECT_EQ(s.secured[1].flags, plat::kSecureNoVerify);
    for (const char* url : {"http://server/", "ftp://server/", "server/"}) {
        scriptReply("HTTP/1.0 200 OK\r\n\r\nx");
        EXPECT_EQ(httpGet(url, out.c_str(), 0), 0) << url;
    }
    EXPECT_EQ(s.secured.size(), 2u);
}

// The secure socket's own failures end with their codes; a reply that was
// whole stays complete whatever ended the connection.
TEST_F(Exchange, SecureFailuresEndWithTheirCodes) {
    const std::string sized = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    const std::string unsized = "HTTP/1.0 200 OK\r\n\r\nabc";
    struct Case {
        const char* name;
        std::function<void(fake::State&)> script;
        int result;
        const char* body;  // output file contents; null: no file
    };
    const Case cases[] = {
        {"cannot be made secure", [](fake::State& s) {
             s.secureResult = -1;
             s.incoming = {hostDone()}; }, 7, nullptr},
        {"handshake fails", [](fake::State& s) {
             s.incoming = {hostDone(), net(16, plat::kErrSecureFailed)}; }, 7, nullptr},
        {"certificate rejected", [](fake::State& s) {
             s.incoming = {hostDone(), net(16, plat::kErrCertRejected)}; }, 10, nullptr},
        {"TCP connect refused", [](fake::State& s) {
             s.incoming = {hostDone(), net(16, 10061)}; }, 1, nullptr},
        {"send fails in a broken record", [](fake::State& s) {
             s.sendScript = {fake::fail(plat::kErrSecureFailed)};
             s.incoming = {hostDone(), net(16)}; }, 7, nullptr},
        {"unsized body cut without closing notice", [&](fake::State& s) {
             s.recvScript = {fake::bytes(unsized), fake::fail(plat::kErrSecureTruncated)};
             s.incoming = {hostDone(), net(16), net(1)}; }, 4, "abc"},
        {"unsized body, the close tells the cut", [&](fake::State& s) {
             s.recvScript = {fake::bytes(unsized)};
             s.incoming = {hostDone(), net(16), net(1), net(32, plat::kErrSecureTruncated)}; },
         4, "abc"},
        {"unsized body ended by the closing notice", [&](fake::State& s) {
             s.recvScript = {fake::bytes(unsized), fake::closed()};
             s.incoming = {hostDone(), net(16), net(1), net(32)}; }, 0, "abc"},
        {"sized body whole, then cut", [&](fake::State& s) {
             s.recvScript = {fake::bytes(sized), fake::fail(plat::kErrSecureTruncated)};
             s.incoming = {hostDone(), net(16), net(1)}; }, 0, "abc"},
        {"broken record mid-body", [&](fake::State& s) {
             s.recvScript = {fake::bytes(sized.substr(0, sized.size() - 1)),
                             fake::fail(plat::kErrSecureFailed)};
             s.incoming = {hostDone(), net(16), net(1)}; }, 7, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        std::remove(out.c_str());
        c.script(fake::state());
        EXPECT_EQ(httpGet("https://server/x", out.c_str(), 0), c.result);
        const auto& s = fake::state();
        EXPECT_TRUE(s.boxes.empty());
        EXPECT_EQ(quits(), 1);
        ASSERT_EQ(s.closedSockets.size(), 1u);
        if (c.body) EXPECT_EQ(readAll(out), c.body);
        else EXPECT_FALSE(exists(out));
    }
    // A socket that could not be made secure is neither selected nor connected.
    fake::reset();
    fake::state().secureResult = -1;
    fake::state().incoming = {hostDone()};
    EXPECT_EQ(httpGet("https://server/x", out.c_str(), 0), 7);
    EXPECT_TRUE(fake::state().selects.empty());
    EXPECT_EQ(fake::state().connects, 0);
}

TEST_F(Exchange, CloseEventDrainsWhatIsStillWaiting) {
    // The read event takes the head and finds nothing more for now; the
    // close is reported while the last bytes are still unread.
    auto& s = fake::state();
    s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\n\r\n"), fake::fail(10035),
                    fake::bytes("tail"), fake::closed()};
    s.incoming = {hostDone(), net(16), net(1), net(32)};
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "tail");
}

TEST_F(Exchange, SilentPeerEndsWithTimedOut) {
    setIdleLimit(1000);
    auto& s = fake::state();
    s.timerAdvance = 600;
    const fake::Posted tick{nullptr, 0x113, IDLE_TIMER, 0};
    const fake::Posted otherTimer{nullptr, 0x113, 99, 0};
    // Connected and sent, then only timer ticks: 600 ms without progress is
    // within the limit, another timer's tick is not ours, 1,800 ms is over.
    s.incoming = {hostDone(), net(16), tick, otherTimer, tick, tick};
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 10060);
    EXPECT_EQ(quits(), 1);
    EXPECT_EQ(s.incoming.size(), 1u) << "ended at the wrong tick";
    setIdleLimit(0);
}

TEST_F(Exchange, WindowThatCannotBeCreatedStartsNothing) {
    fake::state().failCreateWindow = true;
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 1);
    EXPECT_TRUE(fake::state().lookups.empty());
    EXPECT_TRUE(fake::state().destroyedWindows.empty());
    EXPECT_FALSE(exists(out));
}

TEST_F(Exchange, OtherMessagesGoToTheDefaultProcedure) {
    EXPECT_EQ(NetWndProc(reinterpret_cast<plat::Hwnd>(0x77), 0x0F, 1, 2),
              0x5EED0000 + 0x0F);
    // Socket events for no live record have no effect and return 0.
    EXPECT_EQ(NetWndProc(reinterpret_cast<plat::Hwnd>(0x77), WM_NETNOTIFY, 5, 1), 0);
}

// Every allocation of a call may fail: the call returns a code, shows its
// box when one is due, and leaves nothing behind (the leak checker tells).
TEST_F(Exchange, EachAllocationFailureEndsCleanly) {
    writeInput("hello");
    for (long k = 1; k < 200; ++k) {
        SCOPED_TRACE(k);
        fake::reset();
        scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
        qallocResetCount();
        qallocFailAt(k);
        int r = httpPostFile("http://server/u", in.c_str(), out.c_str(), 0);
        long calls = qallocCount();
        qallocFailAt(0);
        ASSERT_EQ(liveHead(), nullptr);
        if (k > calls) {
            EXPECT_EQ(r, 0);  // the countdown was never reached
            return;
        }
        EXPECT_GE(fake::state().boxes.size(), 1u) << "a failure went unreported";
        for (const auto& b : fake::state().boxes)
            EXPECT_EQ(b.text.rfind("new failed: ", 0), 0u) << b.text;
    }
    FAIL() << "the call never ran without a failing allocation";
}

}  // namespace
