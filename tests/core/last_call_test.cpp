// What a call leaves for its caller to read afterwards (the reply's status
// and head, the error number behind the result) and the options a call
// takes when it starts, with the network played by the fake platform.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "exchange_fixture.h"

using namespace quodra;

namespace {

// The last call's head through httpLastHead, asked for its size first.
std::string lastHead() {
    int n = httpLastHead(nullptr, 0);
    std::string head(static_cast<size_t>(n) + 1, '#');
    EXPECT_EQ(httpLastHead(&head[0], n + 1), n);
    EXPECT_EQ(head[n], '\0');
    head.resize(static_cast<size_t>(n));
    return head;
}

class LastCall : public Exchange {};

TEST_F(LastCall, StatusAndHeadAreTheReplysAsReceived) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string head;  // sent first, then "body" unless the case says
        int result;
        int status;        // httpLastStatus
        bool kept;         // httpLastHead gives head (else nothing)
    };
    const Case cases[] = {
        {"200, header names and values keep their case",
         "HTTP/1.0 200 OK\r\nCONTENT-length: 4\r\nX-Case: MiXeD\r\n\r\n", 0, 200, true},
        {"a stored error page", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\n", 0, 404, true},
        {"bare LF lines", "HTTP/1.0 207 Multi-Status\nDAV: 1\n\n", 0, 207, true},
        {"NUL byte in a value", "HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\n"s, 0, 200, true},
        {"first line not a status line", "hello\r\n\r\n", 0, 0, true},
        {"head that never ends", "HTTP/1.0 200 OK\r\nServer: t\r\n", 4, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        scriptReply(c.head + "body");
        EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), c.result);
        EXPECT_EQ(httpLastStatus(), c.status);
        EXPECT_EQ(lastHead(), c.kept ? c.head : "");
        EXPECT_EQ(httpLastError(), 0);
    }
}

TEST_F(LastCall, FailedCallKeepsTheHeadAndTheErrorBehindItsResult) {
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n";
    auto& s = fake::state();
    s.recvScript = {fake::bytes(head + "abc")};
    s.incoming = {hostDone(), net(16), net(1), net(32, 10054)};
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 10054);
    EXPECT_EQ(httpLastStatus(), 200);
    EXPECT_EQ(lastHead(), head);
    EXPECT_EQ(httpLastError(), 10054);
}

TEST_F(LastCall, HeadIsCutToTheCallersBuffer) {
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    scriptReply(head + "x");
    ASSERT_EQ(httpGet("http://server/x", out.c_str(), 0), 0);
    const int len = static_cast<int>(head.size());
    for (int size : {0, 1, 9, len, len + 1, len + 40}) {
        SCOPED_TRACE(size);
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(httpLastHead(buf, size), len);
        if (size <= 0) {
            EXPECT_EQ(buf[0], '#') << "written with no room";
            continue;
        }
        size_t copied = static_cast<size_t>(std::min(size - 1, len));
        EXPECT_EQ(std::string(buf, copied), head.substr(0, copied));
        EXPECT_EQ(buf[copied], '\0');
        EXPECT_EQ(buf[copied + 1], '#') << "written past the text";
    }
    EXPECT_EQ(httpLastHead(nullptr, 100), len) << "a null buffer is only asked";
}

// One line of the head by name: the first of that name in any case, its
// value trimmed and unfolded, copied like the head; -1 for a line the head
// lacks, a name that is no header name, and a call that left no head.
TEST_F(LastCall, HeaderIsTheValueOfTheFirstLineOfThatName) {
    const std::string head =
        "HTTP/1.1 200 OK\r\nLock-Token: <urn:uuid:1>\r\nETag: \t \"v1\" \r\n"
        "X-Fold: a\r\n  b\r\nlock-token: <urn:uuid:2>\r\nX-Empty:\r\nX-Tail: end\r\n\r\n";
    scriptReply(head + "body");
    ASSERT_EQ(httpGet("http://server/x", out.c_str(), 0), 0);
    struct Case {
        const char* name;
        int length;         // -1: no such line
        const char* value;  // when there is one
    };
    const Case cases[] = {
        {"Lock-Token", 12, "<urn:uuid:1>"},
        {"LOCK-TOKEN", 12, "<urn:uuid:1>"},
        {"etag", 4, "\"v1\""},
        {"X-Fold", 3, "a b"},
        {"X-Empty", 0, ""},
        {"X-Tail", 3, "end"},
        {"X-Missing", -1, nullptr},
        {"Lock", -1, nullptr},
        {"HTTP/1.1 200 OK", -1, nullptr},
        {"Lock-Token:", -1, nullptr},
        {"", -1, nullptr},
        {nullptr, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(httpLastHeader(c.name, nullptr, 0), c.length) << "asked for the length";
        EXPECT_EQ(httpLastHeader(c.name, buf, sizeof buf), c.length);
        if (c.value) {
            EXPECT_STREQ(buf, c.value);
        } else {
            EXPECT_EQ(buf[0], '#') << "written for no line";
        }
    }
    // Cut to the caller's buffer like the head.
    char small[6];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(httpLastHeader("Lock-Token", small, 5), 12);
    EXPECT_EQ(std::string(small, 6), std::string("<urn\0#", 6));

    // A call refused before its exchange leaves no head to read.
    EXPECT_EQ(httpGet(nullptr, out.c_str(), 0), 1);
    EXPECT_EQ(httpLastHeader("Lock-Token", nullptr, 0), -1);
}

// Each call forgets the one before: a refused call leaves nothing, a call
// that ended before any head leaves only its error.
TEST_F(LastCall, EveryCallReplacesWhatTheLastOneLeft) {
    struct Case {
        const char* name;
        int (*call)(const std::string& out);
        int status, error;
    };
    const Case cases[] = {
        {"null URL", [](const std::string& o) { return httpGet(nullptr, o.c_str(), 0); }, 0, 0},
        {"URL without a host", [](const std::string& o) { return davPut("http:///a", "f", o.c_str(), 0); }, 0, 0},
        {"control byte in the destination",
         [](const std::string& o) { return davMove("http://h/a", "b\r\n", o.c_str(), 0, 0, 0); }, 0, 0},
        {"host not found", [](const std::string& o) {
             fake::state().incoming = {hostDone(11001)};
             return httpGet("http://server/x", o.c_str(), 0); }, 0, 11001},
        {"connection refused", [](const std::string& o) {
             fake::state().incoming = {hostDone(), net(16, 10061)};
             return httpGet("http://server/x", o.c_str(), 0); }, 0, 10061},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        scriptReply("HTTP/1.0 404 Not Found\r\n\r\n");
        ASSERT_EQ(httpGet("http://server/x", out.c_str(), 0), 0);
        ASSERT_EQ(httpLastStatus(), 404);
        fake::reset();
        EXPECT_NE(c.call(out), 0);
        EXPECT_EQ(httpLastStatus(), c.status);
        EXPECT_EQ(httpLastHead(nullptr, 0), 0);
        EXPECT_EQ(httpLastError(), c.error);
    }
}

class Options : public Exchange {};

TEST_F(Options, SetOptionGivesThePreviousValueAndRefusesWhatItDoesNotKnow) {
    const int boxes = QUODRA_OPTION_MESSAGE_BOXES, idle = QUODRA_OPTION_IDLE_LIMIT,
              verify = QUODRA_OPTION_VERIFY_CERTIFICATES;
    struct Step {
        int option, value;
        int returned;  // previous value, or -1 when refused
    };
    const Step steps[] = {
        {boxes, 0, 1},   {boxes, 0, 0},  {boxes, -1, 0},  // any non-zero value is on
        {boxes, 7, 1},   {boxes, 1, 1},
        {idle, 5, 300},  {idle, 0, 5},   {idle, 2147483, 0},
        {idle, -1, -1},  {idle, 2147484, -1},             // out of range: unchanged
        {idle, 300, 2147483},
        {verify, 0, 1},  {verify, -1, 0}, {verify, 1, 1}, // any non-zero value checks
        {0, 1, -1},      {4, 1, -1},     {-1, 0, -1},     // unknown options
        {boxes, 1, 1},   {idle, 300, 300}, {verify, 1, 1}, // nothing above changed them
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "option " << s.option << " = " << s.value);
        EXPECT_EQ(httpSetOption(s.option, s.value), s.returned);
    }
}

// A call works with the options it started with, whatever is set while it
// runs; the next call takes the new ones.
TEST_F(Options, RunningCallKeepsTheBoxesSettingItStartedWith) {
    struct Case {
        const char* name;
        int boxes;       // at the start of the call
        int laterBoxes;  // set while it runs
    };
    const Case cases[] = {
        {"boxes off, then on", 0, 1},
        {"boxes on, then off", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        auto& s = fake::state();
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, c.boxes);
        s.incoming = {hostDone(11001)};
        s.onArrival = [&](const fake::Posted&) {
            httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, c.laterBoxes);
        };
        EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 11001);
        EXPECT_EQ(s.boxes.size(), c.boxes ? 1u : 0u);
        s.onArrival = nullptr;
        // The next call goes by what was set.
        s.boxes.clear();
        s.incoming = {hostDone(11001)};
        EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 11001);
        EXPECT_EQ(s.boxes.size(), c.laterBoxes ? 1u : 0u);
    }
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1);
}

TEST_F(Options, IdleLimitHoldsForTheCallThatStartedWithIt) {
    const fake::Posted tick{nullptr, 0x113, IDLE_TIMER, 0};
    auto& s = fake::state();
    s.timerAdvance = 600;
    // Started with 1 s; the limit raised to 300 s at the first tick changes
    // nothing for this call: 1,200 ms without progress end it.
    httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 1);
    s.incoming = {hostDone(), net(16), tick, tick, tick, tick};
    s.onArrival = [](const fake::Posted& p) {
        if (p.msg == 0x113) httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
    };
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 10060);
    EXPECT_EQ(s.incoming.size(), 2u) << "ended at the wrong tick";
    EXPECT_EQ(httpLastError(), 10060);
    s.onArrival = nullptr;

    // Without a limit an hour of silence ends nothing; the reply still comes.
    fake::reset();
    auto& t = fake::state();
    t.timerAdvance = 3600 * 1000;
    EXPECT_EQ(httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 0), 300);
    t.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\n\r\nlate"), fake::closed()};
    t.incoming = {hostDone(), net(16), tick, tick, tick, net(1), net(32)};
    EXPECT_EQ(httpGet("http://server/x", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "late");
    httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
}

// A host may make a call from inside another on the same thread (from a
// message the outer call's loop dispatched). When the inner call's loop then
// dispatches an event of the outer call, that event's boxes still follow the
// outer call's options.
TEST_F(Options, EventOfAnOuterCallKeepsItsBoxesInAnInnerCallsLoop) {
    const std::string innerOut = dir + "/inner.bin";
    auto& s = fake::state();
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    int inner = -1;
    bool done = false;
    // The outer call gets one harmless message; on its arrival its lookup
    // failure is queued behind it and the inner call runs with boxes on.
    s.incoming = {{nullptr, 0x113, 99, 0}};
    s.onArrival = [&](const fake::Posted& p) {
        if (done) return;
        done = true;
        plat::Hwnd outerWindow = p.hwnd;
        plat::PostMessageA(outerWindow, WM_HOSTNOTIFY, 0, static_cast<plat::LParam>(11001) << 16);
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1);
        s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\n\r\nin"), fake::closed()};
        s.incoming = {hostDone(), net(16), net(1), net(32)};
        inner = httpGet("http://server/inner", innerOut.c_str(), 0);
    };
    EXPECT_EQ(httpGet("http://server/outer", out.c_str(), 0), 11001);
    EXPECT_TRUE(done);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(readAll(innerOut), "in");
    EXPECT_TRUE(s.boxes.empty()) << "the outer call's lookup failure showed a box";
    EXPECT_EQ(httpLastError(), 11001) << "the outer call wrote its own last call";
    s.onArrival = nullptr;
    std::remove(innerOut.c_str());
    httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1);
}

}  // namespace
