// The caller's header lines on the wire: where they go in each call's
// request, which of them the call's own arguments outrank, and that a call
// takes them as it starts.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "exchange_fixture.h"

namespace {

const std::string kRest = "Connection: close\r\nHost: server\r\n";
const std::string kAgent = "User-Agent: Quodra/2.0.0\r\n";

class CallerLinesSent : public Exchange {
protected:
    void TearDown() override {
        httpSetOptionText(QUODRA_OPTION_HEADERS, nullptr);
        Exchange::TearDown();
    }
};

TEST_F(CallerLinesSent, GoAfterTheCallsOwnLinesAndBeforeTheLibrarys) {
    using Call = std::function<int(const char* in, const char* out)>;
    struct Case {
        const char* name;
        const char* lines;  // as the caller sets them
        Call call;
        std::string request;  // the whole request head (and body) that goes out
    } cases[] = {
        {"GET", "X-Token: abc\nIf-None-Match: \"e1\"",
         [](const char*, const char* o) { return httpGet("http://server/a", o, 0); },
         "GET /a HTTP/1.0\r\nX-Token: abc\r\nIf-None-Match: \"e1\"\r\n" + kAgent + kRest + "\r\n"},
        // A User-Agent of the caller's replaces the library's, where it stands.
        {"own agent", "X-A: 1\r\nuser-agent: Mine/1\r\nX-B: 2",
         [](const char*, const char* o) { return davMkcol("http://server/a", o, 0); },
         "MKCOL /a HTTP/1.0\r\nX-A: 1\r\nuser-agent: Mine/1\r\nX-B: 2\r\n" + kRest + "\r\n"},
        // The arguments outrank a line of the same name; the rest goes out.
        {"PROPFIND", "depth: 0\nContent-Type: text/plain\nX-A: 1",
         [](const char* i, const char* o) { return davPropfind("http://server/d/", i, o, 1, 0); },
         "PROPFIND /d/ HTTP/1.0\r\nDepth: 1\r\nContent-Type: text/xml\r\nX-A: 1\r\n" + kAgent +
             kRest + "Content-Length: 4\r\n\r\nbody"},
        // Without a body or a depth the call writes neither line: the
        // caller's go out.
        {"PROPFIND bare", "Depth: 0\nContent-Type: text/plain",
         [](const char*, const char* o) { return davPropfind("http://server/d/", nullptr, o, -1, 0); },
         "PROPFIND /d/ HTTP/1.0\r\nDepth: 0\r\nContent-Type: text/plain\r\n" + kAgent + kRest + "\r\n"},
        {"PUT", "Content-Type: application/json\nOverwrite: F",
         [](const char* i, const char* o) { return davPut("http://server/p", i, o, 0); },
         "PUT /p HTTP/1.0\r\nContent-Type: application/json\r\nOverwrite: F\r\n" + kAgent + kRest +
             "Content-Length: 4\r\n\r\nbody"},
        {"COPY", "Destination: http://elsewhere/x\nOverwrite: F\nIf: (<urn:t>)",
         [](const char*, const char* o) {
             return davCopy("http://server/a", "http://server/b", o, 0, 0, 0);
         },
         "COPY /a HTTP/1.0\r\nDestination: http://server/b\r\nOverwrite: F\r\nIf: (<urn:t>)\r\n" +
             kAgent + kRest + "\r\n"},
        {"empty value", "X-Empty:",
         [](const char*, const char* o) { return davDelete("http://server/a", o, 0); },
         "DELETE /a HTTP/1.0\r\nX-Empty:\r\n" + kAgent + kRest + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
        writeInput("body");
        ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, c.lines), 0);
        EXPECT_EQ(c.call(in.c_str(), out.c_str()), 0);
        EXPECT_EQ(fake::sent(), c.request);
        EXPECT_EQ(readAll(out), "ok");
    }
}

// The form's own Content-Type carries the boundary its body is read by: a
// caller's line of that name is left out, its others go out.
TEST_F(CallerLinesSent, FormUploadKeepsItsOwnContentType) {
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    writeInput("body");
    ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, "Content-Type: text/plain\nX-A: 1"), 0);
    EXPECT_EQ(httpPostFile("http://server/up", in.c_str(), out.c_str(), 0), 0);
    const std::string& sent = fake::sent();
    const std::string head = sent.substr(0, sent.find("\r\n\r\n") + 4);
    EXPECT_EQ(head.find("text/plain"), std::string::npos) << head;
    EXPECT_EQ(head.find("POST /up HTTP/1.0\r\nX-A: 1\r\n" + kAgent + kRest), 0u) << head;
    EXPECT_NE(head.find("\r\nContent-Type: multipart/form-data; boundary=" + kFirstBoundary +
                        "\r\n\r\n"),
              std::string::npos)
        << head;
}

// A call takes the lines as it starts: a change the thread makes while the
// call runs (from a window procedure of the host, say) waits for its next
// call, and each call of the thread carries the set as it then stood.
TEST_F(CallerLinesSent, EachCallTakesTheLinesAsItStarts) {
    ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, "X-Call: first"), 0);
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    fake::state().onArrival = [](const fake::Posted&) {
        httpSetOptionText(QUODRA_OPTION_HEADERS, "X-Call: second");
    };
    EXPECT_EQ(httpGet("http://server/a", out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent(), "GET /a HTTP/1.0\r\nX-Call: first\r\n" + kAgent + kRest + "\r\n");

    fake::reset();
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(httpGet("http://server/a", out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent(), "GET /a HTTP/1.0\r\nX-Call: second\r\n" + kAgent + kRest + "\r\n");

    fake::reset();
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, ""), 0);
    EXPECT_EQ(httpGet("http://server/a", out.c_str(), 0), 0);
    EXPECT_EQ(fake::sent(), "GET /a HTTP/1.0\r\n" + kAgent + kRest + "\r\n");
}

// The lines are the calling thread's: another thread's calls never carry
// them.
TEST_F(CallerLinesSent, AnotherThreadsCallsDoNotCarryThem) {
    ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, "X-Mine: 1"), 0);
    std::string sent;
    int result = -1;
    std::thread other([&] {
        fake::reset();
        scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
        result = httpGet("http://server/a", out.c_str(), 0);
        sent = fake::sent();
    });
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sent, "GET /a HTTP/1.0\r\n" + kAgent + kRest + "\r\n");
}

}  // namespace
