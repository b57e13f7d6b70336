// Reply capture: where the head ends, what Content-Length is taken, what
// reaches the output file (the same however the reply is cut into reads),
// the head bound, and how read events and receive errors end an exchange.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/numbers.h"
#include "common/alloc.h"
#include "request/request.h"
#include "common/text.h"
#include "request_fixture.h"
#include "transfer/reply_head.h"
#include "transfer/transfer.h"

using namespace quodra;

using namespace std::string_literals;

namespace {

struct Outcome {
    std::string body;
    int64_t length;
    int status;
    int result;
    int state;
};

class ReplyTest : public RequestModelTest {
protected:
    // A record whose request is out: receiving, its output file open.
    RequestInfo* receiving(int method = METHOD_GET) {
        RequestInfo* req = createRequest("http://example.test/x", method);
        EXPECT_NE(req, nullptr);
        req->sock = 100;
        outPath = dir() + "/out.bin";
        req->outfile = copyText(outPath.c_str(), "outfile");
        req->state = STATE_SEND_HEADERS;
        EXPECT_EQ(setNextState(req), 7);
        return req;
    }

    // Each piece arrives with its own read event; then the peer closes.
    Outcome run(const std::vector<std::string>& pieces) {
        RequestInfo* req = receiving();
        for (const std::string& piece : pieces) {
            fake::state().recvScript = {fake::bytes(piece)};
            OnSocketRead(req);
        }
        fake::state().recvScript = {fake::closed()};
        OnSocketRead(req);
        Outcome out{readAll(outPath), req->replylength, req->replystatus, req->result,
                    req->state};
        destroyRequest(req);
        return out;
    }

    std::string outPath;
};

struct ReplyCase {
    const char* name;
    std::string reply;
    std::string body;  // what the output file must hold
    int64_t length;    // replylength once the head has ended
    int status;
};

const std::string kOk = "HTTP/1.0 200 OK\r\n";

const ReplyCase kReplies[] = {
    {"CRLF head with length", kOk + "Content-Length: 5\r\n\r\nhello", "hello", 5, 200},
    {"extra bytes past the length dropped", kOk + "Content-Length: 5\r\n\r\nhello123", "hello", 5,
     200},
    {"bare LF head", "HTTP/1.0 200 OK\nContent-Length: 5\n\nhelloXYZ", "hello", 5, 200},
    {"LF CR LF ends the head", "HTTP/1.0 404 Not Found\nServer: t\n\r\nbody", "body", 0, 404},
    {"CR LF LF ends the head", kOk + "Content-Length: 2\r\n\nabc", "ab", 2, 200},
    {"mixed line ends", kOk + "Content-Length: 3\n\r\nabcdef", "abc", 3, 200},
    {"four CRs end the head", "HTTP/1.0 200 OK\r\r\r\rbody", "body", 0, 200},
    {"six line-end bytes: two are body", kOk + "\r\n\r\nab", "\r\nab", 0, 200},
    {"no length", kOk + "Server: t\r\n\r\nabcdef", "abcdef", 0, 200},
    {"zero length", kOk + "Content-Length: 0\r\n\r\nabc", "abc", 0, 200},
    {"negative length", kOk + "Content-Length: -5\r\n\r\nabc", "abc", -5, 200},
    {"length without digits", kOk + "Content-Length: abc\r\n\r\nxyz", "xyz", 0, 200},
    {"capitals and three spaces", kOk + "CONTENT-LENGTH:   4\r\n\r\nabcdefgh", "abcd", 4, 200},
    {"space before the colon", kOk + "Content-Length : 3\r\n\r\nabcdef", "abcdef", 0, 200},
    {"longer header name not taken", kOk + "X-Original-Content-Length: 3\r\n\r\nabcdef",
     "abcdef", 0, 200},
    {"name inside a value not taken", kOk + "X-Note: content-length:3\r\n\r\nabcdef", "abcdef", 0,
     200},
    {"first real length line taken",
     kOk + "X-Original-Content-Length: 3\r\nContent-Length: 6\r\nContent-Length: 2\r\n\r\nabcdefgh",
     "abcdef", 6, 200},
    {"status line not a header line", "HTTP/1.0 200 content-length:2\r\n\r\nabcd", "abcd", 0, 200},
    {"above 4 GiB is not cut", kOk + "Content-Length: 4294967301\r\n\r\n0123456789",
     "0123456789", 4294967301LL, 200},
    {"20 digits saturate", kOk + "Content-Length: 99999999999999999999\r\n\r\nabc", "abc",
     INT64_MAX, 200},
    {"NUL bytes in the head", kOk + "X: a\0b\r\nContent-Length: 2\r\n\r\nabcd"s, "ab", 2, 200},
    {"reply is only a head", "HTTP/1.0 204 No Content\r\n\r\n", "", 0, 204},
    {"head never ends", kOk + "Server: t\r\n", "", 0, 0},
};

TEST_F(ReplyTest, OutputIsTheSameHoweverTheReplyIsCut) {
    for (const ReplyCase& c : kReplies) {
        SCOPED_TRACE(c.name);
        Outcome whole = run({c.reply});
        EXPECT_EQ(whole.body, c.body);
        EXPECT_EQ(whole.length, c.length);
        EXPECT_EQ(whole.status, c.status);
        EXPECT_EQ(whole.result, 0);
        EXPECT_EQ(whole.state, STATE_CLOSED);
        for (size_t k = 1; k < c.reply.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "split at " << k);
            Outcome split = run({c.reply.substr(0, k), c.reply.substr(k)});
            ASSERT_EQ(split.body, c.body);
            ASSERT_EQ(split.length, c.length);
            ASSERT_EQ(split.status, c.status);
        }
        std::vector<std::string> bytes;
        for (char ch : c.reply) bytes.push_back(std::string(1, ch));
        Outcome byByte = run(bytes);
        EXPECT_EQ(byByte.body, c.body);
        EXPECT_EQ(byByte.length, c.length);
    }
}

TEST_F(ReplyTest, HeadIsKeptWholeAsReceived) {
    // The caller reads the head after the call: its case stays as sent,
    // while the length line is still found in any case.
    RequestInfo* req = receiving();
    std::string head = "HTTP/1.0 200 OK\r\nCONTENT-length: 5\r\nX-Mixed: AbC\r\n\r\n";
    std::string reply = head + "hello";
    fake::state().tick = 42;
    fake::state().recvScript = {fake::bytes(reply)};
    OnSocketRead(req);
    ASSERT_EQ(req->replyheadlen, static_cast<int>(head.size()));
    EXPECT_EQ(std::string(req->replyhead, req->replyheadlen), head);
    EXPECT_EQ(req->replyhead[req->replyheadlen], '\0');
    EXPECT_EQ(req->replyread, 5);
    EXPECT_EQ(req->eolcount, 4);
    EXPECT_EQ(req->lastprogress, 42u);
    // Drained until it would block; still receiving.
    EXPECT_EQ(fake::state().recvCalls, 2);
    EXPECT_EQ(req->state, STATE_RECEIVE);
}

TEST_F(ReplyTest, HeadBoundEndsTheExchangeWithCode3) {
    // Without its end within the bound: code 3, nothing more kept or read.
    RequestInfo* req = receiving();
    std::string endless = kOk + "X: " + std::string(300000, 'a');
    fake::state().recvScript = {fake::bytes(endless)};
    OnSocketRead(req);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    EXPECT_EQ(req->state, STATE_CLOSED);
    EXPECT_LT(req->replyheadlen, REPLY_HEAD_LIMIT);
    EXPECT_EQ(fake::state().recvCalls, (REPLY_HEAD_LIMIT + RECV_PIECE - 1) / RECV_PIECE);
    EXPECT_EQ(readAll(outPath), "");
    destroyRequest(req);

    // A head that ends exactly at the bound is accepted.
    std::string head = kOk + "X: ";
    head += std::string(REPLY_HEAD_LIMIT - head.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), static_cast<size_t>(REPLY_HEAD_LIMIT));
    // One byte more, even with its end right after the bound, is too long.
    Outcome over = run({"X" + head + "body"});
    EXPECT_EQ(over.result, RESULT_NO_OUTPUT);
    EXPECT_EQ(over.body, "");
    for (size_t cut : {head.size(), head.size() - 1}) {
        SCOPED_TRACE(cut);
        Outcome out = run({head.substr(0, cut), head.substr(cut) + "body"});
        EXPECT_EQ(out.result, 0);
        EXPECT_EQ(out.body, "body");
    }
}

TEST_F(ReplyTest, ReadEventAfterTheReplyClosedDoesNothing) {
    RequestInfo* req = receiving();
    fake::state().recvScript = {fake::bytes(kOk + "\r\nbody"), fake::closed()};
    OnSocketRead(req);
    ASSERT_EQ(req->state, STATE_CLOSED);
    EXPECT_EQ(req->peerclosed, 1);
    EXPECT_EQ(fake::state().openOutputs, 0);
    int calls = fake::state().recvCalls;
    fake::state().recvScript = {fake::bytes("late")};
    OnSocketRead(req);
    EXPECT_EQ(fake::state().recvCalls, calls);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(readAll(outPath), "body");
}

TEST_F(ReplyTest, ReplyBeforeTheRequestIsOutEndsWithCode3) {
    for (int state : {STATE_IDLE, STATE_SEND_REQUEST, STATE_SEND_HEADERS, STATE_SEND_BODY}) {
        SCOPED_TRACE(state);
        RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
        req->sock = 100;
        req->outfile = copyText((dir() + "/early.bin").c_str(), "outfile");
        req->state = state;
        fake::state().recvScript = {fake::bytes(kOk + "\r\nbody")};
        OnSocketRead(req);
        EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
        EXPECT_EQ(req->state, STATE_CLOSED);
        EXPECT_EQ(fake::state().recvCalls, 0);
        EXPECT_FALSE(std::ifstream(dir() + "/early.bin").good());
        destroyRequest(req);
    }
    RequestInfo* req = receiving();
    plat::closesocket(req->sock);
    req->sock = plat::kInvalidSocket;
    OnSocketRead(req);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    OnSocketRead(nullptr);
}

TEST_F(ReplyTest, ReceiveErrorsEndTheExchangeUnlessTheReplyIsComplete) {
    struct Case {
        const char* name;
        int method;
        std::string received;
        int error;
        int result;
    } cases[] = {
        {"body short of its length", METHOD_GET, kOk + "Content-Length: 5\r\n\r\nhel",
         plat::kErrConnReset, plat::kErrConnReset},
        {"whole body arrived", METHOD_GET, kOk + "Content-Length: 5\r\n\r\nhello",
         plat::kErrConnReset, 0},
        {"head not ended", METHOD_GET, kOk, 10053, 10053},
        {"no length, no orderly close", METHOD_GET, kOk + "\r\nabc", plat::kErrConnReset,
         plat::kErrConnReset},
        {"204 carries no body", METHOD_GET, "HTTP/1.0 204 No Content\r\n\r\n",
         plat::kErrConnReset, 0},
        {"reply to HEAD", METHOD_HEAD, kOk + "Content-Length: 99\r\n\r\n", plat::kErrConnReset,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        RequestInfo* req = receiving(c.method);
        fake::state().recvScript = {fake::bytes(c.received), fake::fail(c.error)};
        OnSocketRead(req);
        EXPECT_EQ(req->result, c.result);
        EXPECT_EQ(req->state, STATE_CLOSED);
        EXPECT_EQ(fake::state().closedSockets, std::vector<plat::Socket>{100});
        EXPECT_EQ(fake::state().openOutputs, 0);
        destroyRequest(req);
    }
    // Would-block only waits for the next read event.
    RequestInfo* req = receiving();
    fake::state().recvScript = {fake::fail(plat::kErrWouldBlock)};
    OnSocketRead(req);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req->state, STATE_RECEIVE);
}

TEST_F(ReplyTest, ReplyCompleteCases) {
    struct Case {
        const char* name;
        int method;
        int eolcount;
        int status;
        int64_t length;
        int64_t read;
        int peerclosed;
        int complete;
    } cases[] = {
        {"head not ended", METHOD_GET, 3, 200, 0, 0, 1, 0},
        {"HEAD request", METHOD_HEAD, 4, 200, 100, 0, 0, 1},
        {"204", METHOD_GET, 4, 204, 100, 0, 0, 1},
        {"304", METHOD_GET, 4, 304, 0, 0, 0, 1},
        {"100", METHOD_GET, 4, 100, 0, 0, 0, 1},
        {"199", METHOD_GET, 4, 199, 0, 0, 0, 1},
        {"short body", METHOD_GET, 4, 200, 10, 9, 1, 0},
        {"whole body", METHOD_GET, 4, 200, 10, 10, 0, 1},
        {"body beyond 4 GiB", METHOD_GET, 4, 200, 5000000000LL, 4999999999LL, 0, 0},
        {"no length, open", METHOD_GET, 4, 200, 0, 50, 0, 0},
        {"no length, orderly close", METHOD_GET, 4, 200, 0, 50, 1, 1},
        {"negative length, orderly close", METHOD_GET, 4, 404, -1, 0, 1, 1},
    };
    EXPECT_EQ(replyComplete(nullptr), 0);
    RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        req->method = c.method;
        req->eolcount = c.eolcount;
        req->replystatus = c.status;
        req->replylength = c.length;
        req->replyread = c.read;
        req->peerclosed = c.peerclosed;
        EXPECT_EQ(replyComplete(req), c.complete);
    }
}

TEST_F(ReplyTest, FailedHeadGrowthLeavesTheHeadAsItWas) {
    RequestInfo* req = receiving();
    fake::state().recvScript = {fake::bytes(kOk)};
    OnSocketRead(req);
    const char* before = req->replyhead;
    ASSERT_NE(before, nullptr);

    qallocFailAt(1);
    fake::state().recvScript = {fake::bytes("Content-Length: 3\r\n")};
    OnSocketRead(req);
    ASSERT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].text, "new failed: replyhead");
    EXPECT_EQ(fake::state().boxes[0].caption, "Quodra/2.0.0");
    EXPECT_EQ(fake::state().boxes[0].type, 16u);
    EXPECT_EQ(req->replyhead, before);
    EXPECT_EQ(std::string(req->replyhead, req->replyheadlen), kOk);

    // The exchange goes on; the lost line's length is not known.
    fake::state().recvScript = {fake::bytes("\r\nabcdef"), fake::closed()};
    OnSocketRead(req);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req->replylength, 0);
    EXPECT_EQ(readAll(outPath), "abcdef");
}

TEST(ReplyHeadTest, StatusCodeFromTheStatusLine) {
    struct Case {
        std::string line;
        int status;
    } cases[] = {
        {"HTTP/1.0 204 No Content\r\n", 204}, {"HTTP/1.1 404 Not Found\n", 404},
        {"http/1.0 200\r\n", 200},            {"HTTP/1.0   301\tMoved", 301},
        {"HTTP/1.0 2000 Odd\r\n", 0},         {"HTTP/1.0 20 Odd\r\n", 0},
        {"HTTP/1.0 20x Odd\r\n", 0},          {"HTTP/1.0\r\n200 OK\r\n", 0},
        {"HTTX/1.0 200 OK\r\n", 0},           {"", 0},
        {"HTTP/1.0 99999999999999999999", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(readReplyStatus(c.line.data(), static_cast<int>(c.line.size())), c.status);
    }
    EXPECT_EQ(readReplyStatus(nullptr, 5), 0);
}

TEST(ReplyHeadTest, DecimalReadLikeAtolIn64Bits) {
    struct Case {
        std::string text;
        int64_t value;
    } cases[] = {
        {"42", 42},
        {" \t+42\r\n", 42},
        {"-5x", -5},
        {"7 8", 7},
        {"", 0},
        {"-", 0},
        {"x1", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", INT64_MAX},
        {"-99999999999999999999", -INT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(readDecimal64(c.text.data(), static_cast<int>(c.text.size())), c.value);
    }
    // The length bounds the read, not a terminating NUL.
    EXPECT_EQ(readDecimal64("123456", 3), 123);
}

}  // namespace
