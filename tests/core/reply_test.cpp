// Reply capture: where the head ends, what Content-Length is taken, what
// reaches the output file (the same however the reply is cut into reads,
// and whether the platform or the buffer receives the body), the head
// bound, and how read events and receive errors end an exchange.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
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
#include "common/reply_head.h"
#include "transfer/transfer.h"

using namespace quodra;

using namespace std::string_literals;

namespace {

struct Outcome {
    std::string body;
    bool made;  // the output file exists
    int64_t length;
    int status;
    int result;
    State state;
};

class ReplyTest : public RequestModelTest {
protected:
    // A record whose request is out: receiving, its output file open.
    RequestInfo* receiving(int method = METHOD_GET) {
        RequestInfo* req = createRequest("http://example.test/x", method);
        EXPECT_NE(req, nullptr);
        req->sock = 100;
        outPath = dir() + "/out.bin";
        std::remove(outPath.c_str());
        req->outFile = copyText(outPath.c_str(), "outfile");
        req->state = State::SendHeaders;
        EXPECT_EQ(enterNextState(req), Entered::Receiving);
        return req;
    }

    // Each piece arrives with its own read event; then the peer closes in
    // order, and the close event ends whatever is still running.
    Outcome run(const std::vector<std::string>& pieces, int method = METHOD_GET) {
        RequestInfo* req = receiving(method);
        for (const std::string& piece : pieces) {
            fake::state().recvScript = {fake::bytes(piece)};
            OnSocketRead(req);
        }
        fake::state().recvScript = {fake::closed()};
        OnSocketRead(req);
        OnSocketClose(req, 0);
        Outcome out{readAll(outPath), std::ifstream(outPath).good(), req->head.length,
                    req->head.status, req->result, req->state};
        EXPECT_EQ(fake::state().openOutputs, 0);
        destroyRequest(req);
        return out;
    }

    std::string outPath;
};

struct ReplyCase {
    const char* name;
    std::string reply;
    std::string body;  // what the output file must hold
    int64_t length;    // replylength once the head has ended; -1 for none
    int status;
    int result;        // how the exchange ends
};

const std::string kOk = "HTTP/1.0 200 OK\r\n";
const int kMalformed = RESULT_MALFORMED_HEAD;
const int kEarly = RESULT_ENDED_EARLY;

const ReplyCase kReplies[] = {
    {"CRLF head with length", kOk + "Content-Length: 5\r\n\r\nhello", "hello", 5, 200, 0},
    {"extra bytes past the length dropped", kOk + "Content-Length: 5\r\n\r\nhello123", "hello",
     5, 200, 0},
    {"bare LF head", "HTTP/1.0 200 OK\nContent-Length: 5\n\nhelloXYZ", "hello", 5, 200, 0},
    {"LF CR LF ends the head", "HTTP/1.0 404 Not Found\nServer: t\n\r\nbody", "body", -1, 404, 0},
    {"CR LF LF ends the head", kOk + "Content-Length: 2\r\n\nabc", "ab", 2, 200, 0},
    {"mixed line ends", kOk + "Content-Length: 3\n\r\nabcdef", "abc", 3, 200, 0},
    {"four CRs end the head", "HTTP/1.0 200 OK\r\r\r\rbody", "body", -1, 200, 0},
    {"six line-end bytes: two are body", kOk + "\r\n\r\nab", "\r\nab", -1, 200, 0},
    {"no length", kOk + "Server: t\r\n\r\nabcdef", "abcdef", -1, 200, 0},
    {"zero length is an empty body", kOk + "Content-Length: 0\r\n\r\nabc", "", 0, 200, 0},
    {"capitals and three spaces", kOk + "CONTENT-LENGTH:   4\r\n\r\nabcdefgh", "abcd", 4, 200, 0},
    {"white space after the value", kOk + "Content-Length: 4 \t\r\n\r\nabcdefgh", "abcd", 4, 200,
     0},
    {"space before the colon is not the header", kOk + "Content-Length : 3\r\n\r\nabcdef",
     "abcdef", -1, 200, 0},
    {"longer header name not taken", kOk + "X-Original-Content-Length: 3\r\n\r\nabcdef",
     "abcdef", -1, 200, 0},
    {"name inside a value not taken", kOk + "X-Note: content-length:3\r\n\r\nabcdef", "abcdef",
     -1, 200, 0},
    {"status line not a header line", "HTTP/1.0 200 content-length:2\r\n\r\nabcd", "abcd", -1,
     200, 0},
    {"the same length twice", kOk + "Content-Length: 6\r\ncontent-length:6\r\n\r\nabcdefgh",
     "abcdef", 6, 200, 0},
    {"two different lengths", kOk + "Content-Length: 6\r\nContent-Length: 2\r\n\r\nabcdefgh", "",
     -1, 200, kMalformed},
    {"negative length", kOk + "Content-Length: -5\r\n\r\nabc", "", -1, 200, kMalformed},
    {"length without digits", kOk + "Content-Length: abc\r\n\r\nxyz", "", -1, 200, kMalformed},
    {"empty length", kOk + "Content-Length:\r\n\r\nxyz", "", -1, 200, kMalformed},
    {"length with a sign", kOk + "Content-Length: +3\r\n\r\nxyz", "", -1, 200, kMalformed},
    {"length followed by other bytes", kOk + "Content-Length: 3x\r\n\r\nxyz", "", -1, 200,
     kMalformed},
    {"a list of lengths", kOk + "Content-Length: 3, 3\r\n\r\nxyz", "", -1, 200, kMalformed},
    {"above 4 GiB is not cut", kOk + "Content-Length: 4294967301\r\n\r\n0123456789",
     "0123456789", 4294967301LL, 200, kEarly},
    {"20 digits saturate", kOk + "Content-Length: 99999999999999999999\r\n\r\nabc", "abc",
     INT64_MAX, 200, kEarly},
    {"body short of its length", kOk + "Content-Length: 9\r\n\r\nabc", "abc", 9, 200, kEarly},
    {"NUL bytes in the head", kOk + "X: a\0b\r\nContent-Length: 2\r\n\r\nabcd"s, "ab", 2, 200, 0},
    {"reply is only a head", "HTTP/1.0 204 No Content\r\n\r\n", "", -1, 204, 0},
    {"204 stores nothing that follows", "HTTP/1.0 204 No Content\r\n\r\nxyz", "", -1, 204, 0},
    {"304 with the entity's length stores nothing",
     "HTTP/1.0 304 Not Modified\r\nContent-Length: 5\r\n\r\nhello", "", 5, 304, 0},
    {"interim head passed over", "HTTP/1.1 100 Continue\r\n\r\n" + kOk +
     "Content-Length: 2\r\n\r\nok", "ok", 2, 200, 0},
    {"two interim heads, the second with lines", "HTTP/1.1 100 Continue\r\n\r\n"
     "HTTP/1.1 102 Processing\r\nX: 1\r\n\r\n" + kOk + "\r\nbody", "body", -1, 200, 0},
    {"interim head's own length is not the reply's", "HTTP/1.1 100 Continue\r\n"
     "Content-Length: 1\r\n\r\n" + kOk + "Content-Length: 3\r\n\r\nabcdef", "abc", 3, 200, 0},
    {"interim head and nothing more", "HTTP/1.1 100 Continue\r\n\r\n", "", -1, 0, kEarly},
    {"head never ends", kOk + "Server: t\r\n", "", -1, 0, kEarly},
};

TEST_F(ReplyTest, OutputIsTheSameHoweverTheReplyIsCut) {
    for (const ReplyCase& c : kReplies) {
        SCOPED_TRACE(c.name);
        Outcome whole = run({c.reply});
        EXPECT_EQ(whole.body, c.body);
        // The output is made once a final head has come whole and well formed.
        const bool made = c.status != 0 && c.result != kMalformed;
        EXPECT_EQ(whole.made, made);
        EXPECT_EQ(whole.length, c.length);
        EXPECT_EQ(whole.status, c.status);
        EXPECT_EQ(whole.result, c.result);
        EXPECT_EQ(whole.state, State::Closed);
        for (size_t k = 1; k < c.reply.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "split at " << k);
            Outcome split = run({c.reply.substr(0, k), c.reply.substr(k)});
            ASSERT_EQ(split.body, c.body);
            ASSERT_EQ(split.made, made);
            ASSERT_EQ(split.length, c.length);
            ASSERT_EQ(split.status, c.status);
            ASSERT_EQ(split.result, c.result);
        }
        std::vector<std::string> bytes;
        for (char ch : c.reply) bytes.push_back(std::string(1, ch));
        Outcome byByte = run(bytes);
        EXPECT_EQ(byByte.body, c.body);
        EXPECT_EQ(byByte.length, c.length);
        EXPECT_EQ(byByte.result, c.result);
    }
}

TEST_F(ReplyTest, ReplyToHeadStoresNoBody) {
    Outcome out = run({kOk + "Content-Length: 99\r\n\r\nnot a body"}, METHOD_HEAD);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.body, "");
}

TEST_F(ReplyTest, HeadIsKeptWholeAsReceived) {
    // The caller reads the head after the call: its case stays as sent,
    // while the length line is still found in any case.
    RequestInfo* req = receiving();
    std::string head = "HTTP/1.0 200 OK\r\nCONTENT-length: 5\r\nX-Mixed: AbC\r\n\r\n";
    std::string reply = head + "hello";
    fake::state().tick = 42;
    fake::state().recvScript = {fake::bytes(reply.substr(0, 20)), fake::bytes(reply.substr(20))};
    OnSocketRead(req);
    ASSERT_EQ(req->head.len, static_cast<int>(head.size()));
    EXPECT_EQ(std::string(req->head.bytes, req->head.len), head);
    EXPECT_EQ(req->head.bytes[req->head.len], '\0');
    EXPECT_EQ(req->bodyStored, 5);
    EXPECT_EQ(req->head.lineEnds, 4);
    EXPECT_EQ(req->lastProgress, 42u);
}

TEST_F(ReplyTest, CompleteReplyEndsTheExchangeAtOnce) {
    // The whole announced body, or the head of a reply that has none: the
    // exchange ends with 0 without waiting for the peer to close.
    struct Case {
        const char* name;
        int method;
        std::string reply;
        std::string body;
    } cases[] = {
        {"sized body", METHOD_GET, kOk + "Content-Length: 5\r\n\r\nhello", "hello"},
        {"empty sized body", METHOD_GET, kOk + "Content-Length: 0\r\n\r\n", ""},
        {"no content", METHOD_GET, "HTTP/1.0 204 No Content\r\n\r\n", ""},
        {"not modified", METHOD_GET, "HTTP/1.0 304 Not Modified\r\n\r\n", ""},
        {"reply to HEAD", METHOD_HEAD, kOk + "Content-Length: 5\r\n\r\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        RequestInfo* req = receiving(c.method);
        fake::state().recvScript = {fake::bytes(c.reply), fake::bytes("more")};
        OnSocketRead(req);
        EXPECT_EQ(fake::state().recvCalls, 1) << "read on after the reply was complete";
        EXPECT_EQ(req->result, 0);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(fake::state().closedSockets, std::vector<plat::Socket>{100});
        EXPECT_EQ(fake::state().openOutputs, 0);
        EXPECT_EQ(readAll(outPath), c.body);
        destroyRequest(req);
    }
    // Without a length, only the peer's close says that the body is whole.
    RequestInfo* req = receiving();
    fake::state().recvScript = {fake::bytes(kOk + "\r\nabc")};
    OnSocketRead(req);
    EXPECT_EQ(req->state, State::Receive);
    EXPECT_EQ(req->result, 0);
}

TEST_F(ReplyTest, HeadGrowsByDoublingNotByPiece) {
    // A head arriving a byte at a time costs a few blocks, not one per byte.
    RequestInfo* req = receiving();
    std::string head = kOk + "X-Fill: " + std::string(100000, 'a') + "\r\n\r\n";
    qallocResetCount();
    for (char c : head) ProcessReply(req, &c, 1);
    EXPECT_LE(qallocCount(), 10);
    EXPECT_EQ(req->head.len, static_cast<int>(head.size()));
    EXPECT_EQ(req->head.lineEnds, 4);
    EXPECT_EQ(req->result, 0);
}

TEST_F(ReplyTest, HeadBoundEndsTheExchangeWithCode3) {
    // Without its end within the bound: code 3, nothing more kept or read.
    RequestInfo* req = receiving();
    std::string endless = kOk + "X: " + std::string(300000, 'a');
    fake::state().recvScript = {fake::bytes(endless)};
    OnSocketRead(req);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    EXPECT_EQ(req->state, State::Closed);
    EXPECT_LT(req->head.len, REPLY_HEAD_LIMIT);
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
    ASSERT_EQ(req->state, State::Closed);
    EXPECT_EQ(req->peerEnded, 1);
    EXPECT_EQ(fake::state().openOutputs, 0);
    int calls = fake::state().recvCalls;
    fake::state().recvScript = {fake::bytes("late")};
    OnSocketRead(req);
    EXPECT_EQ(fake::state().recvCalls, calls);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(readAll(outPath), "body");
}

// Bytes before the request began are no reply to it.
TEST_F(ReplyTest, ReadEventBeforeTheRequestBeganEndsWithCode3) {
    RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
    req->sock = 100;
    req->outFile = copyText((dir() + "/early.bin").c_str(), "outfile");
    fake::state().recvScript = {fake::bytes(kOk + "\r\nbody")};
    OnSocketRead(req);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    EXPECT_EQ(req->state, State::Closed);
    EXPECT_EQ(fake::state().recvCalls, 0);
    EXPECT_FALSE(std::ifstream(dir() + "/early.bin").good());
    destroyRequest(req);

    req = receiving();
    plat::closesocket(req->sock);
    req->sock = plat::kInvalidSocket;
    OnSocketRead(req);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    OnSocketRead(nullptr);
}

// A reply that comes while the request is still going out is heard: a
// final head stops the sending and is the reply; an interim head, or part
// of a head, lets the sending go on.
TEST_F(ReplyTest, ReplyWhileTheRequestGoesOutIsHeard) {
    const std::string sized = "HTTP/1.0 413 Too Large\r\nContent-Length: 4\r\n\r\nbody";
    struct Case {
        const char* name;
        std::string received;
        bool sending;       // still sending afterwards
        int result;
        const char* stored; // null: no output made
    };
    const Case cases[] = {
        {"a whole sized reply", sized, false, 0, "body"},
        {"a final head, its body to come", sized.substr(0, sized.size() - 2), false, 0, "bo"},
        {"an interim head", "HTTP/1.1 100 Continue\r\n\r\n", true, 0, nullptr},
        {"part of a head", "HTTP/1.0 413 Too", true, 0, nullptr},
        {"an interim head, then a whole reply", "HTTP/1.1 100 Continue\r\n\r\n" + sized, false, 0,
         "body"},
    };
    const std::string in = writeFile("in.bin", std::string(3000, 'b'));
    for (State state : {State::SendRequest, State::SendHeaders, State::SendBody}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << " in state " << static_cast<int>(state));
            fake::reset();
            RequestInfo* req = createRequest("http://example.test/x", METHOD_PUT);
            req->sock = 100;
            outPath = dir() + "/out.bin";
            std::remove(outPath.c_str());
            req->outFile = copyText(outPath.c_str(), "outfile");
            req->headers = copyText("Host: example.test\r\n\r\n", "headers");
            req->inFile = copyText(in.c_str(), "infile");
            ASSERT_EQ(openBody(req), 0);
            calculateContentLength(req);
            while (req->state != state) ASSERT_EQ(enterNextState(req), Entered::Sending);
            fake::state().recvScript = {fake::bytes(c.received)};
            OnSocketRead(req);
            EXPECT_EQ(sendingState(req->state), c.sending);
            EXPECT_EQ(req->result, c.result);
            EXPECT_EQ(req->inFd >= 0, c.sending);
            if (c.stored) EXPECT_EQ(readAll(outPath), c.stored);
            else EXPECT_FALSE(std::ifstream(outPath).good());
            EXPECT_TRUE(fake::state().sendOffers.empty()) << "a read event sends nothing";
            destroyRequest(req);
        }
    }
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
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(fake::state().closedSockets, std::vector<plat::Socket>{100});
        EXPECT_EQ(fake::state().openOutputs, 0);
        destroyRequest(req);
    }
    // Would-block only waits for the next read event.
    RequestInfo* req = receiving();
    fake::state().recvScript = {fake::fail(plat::kErrWouldBlock)};
    OnSocketRead(req);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req->state, State::Receive);
}

TEST_F(ReplyTest, ReplyCompleteCases) {
    struct Case {
        const char* name;
        int method;
        bool headDone;
        int status;
        int64_t length;
        int64_t read;
        int peerclosed;
        bool complete;
    } cases[] = {
        {"head not ended", METHOD_GET, false, 200, -1, 0, 1, false},
        {"HEAD request", METHOD_HEAD, true, 200, 100, 0, 0, true},
        {"204", METHOD_GET, true, 204, 100, 0, 0, true},
        {"304", METHOD_GET, true, 304, -1, 0, 0, true},
        {"short body", METHOD_GET, true, 200, 10, 9, 1, false},
        {"whole body", METHOD_GET, true, 200, 10, 10, 0, true},
        {"empty body", METHOD_GET, true, 200, 0, 0, 0, true},
        {"body beyond 4 GiB", METHOD_GET, true, 200, 5000000000LL, 4999999999LL, 0, false},
        {"no length, open", METHOD_GET, true, 200, -1, 50, 0, false},
        {"no length, orderly close", METHOD_GET, true, 404, -1, 50, 1, true},
    };
    EXPECT_FALSE(replyComplete(nullptr));
    RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        req->method = c.method;
        req->head.done = c.headDone;
        req->head.status = c.status;
        req->head.length = c.length;
        req->bodyStored = c.read;
        req->peerEnded = c.peerclosed;
        EXPECT_EQ(replyComplete(req), c.complete);
    }
}

TEST_F(ReplyTest, ShortWriteCountsOnlyWhatWasStored) {
    RequestInfo* req = receiving();
    fake::state().failWriteAt = 1;
    fake::state().writeShort = 3;
    fake::state().recvScript = {fake::bytes(kOk + "Content-Length: 10\r\n\r\n0123456789")};
    OnSocketRead(req);
    EXPECT_EQ(req->bodyStored, 3);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    EXPECT_EQ(req->state, State::Closed);
    EXPECT_EQ(fake::state().openOutputs, 0);
    EXPECT_EQ(readAll(outPath), "012");
}

TEST_F(ReplyTest, BodyBeyondTheBufferGoesStraightToTheFile) {
    // Past a buffer's worth the platform may receive into the output file
    // itself: each byte counts once, no step asks for more than the
    // announced length has left, and the buffer takes over where it
    // declines. 1,000 body bytes arrive with the head.
    const int C = RECV_PIECE;
    std::string body(3 * C + 123, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    const std::string sized = kOk + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    const int rest = static_cast<int>(body.size()) - 1000;
    auto from = [&](size_t at, size_t n = std::string::npos) { return body.substr(at, n); };
    struct Case {
        const char* name;
        std::string head;
        std::deque<fake::Step> direct;  // what recvFile does, step by step
        std::deque<fake::Step> copied;  // what recv gives once it declined
        int result;
        std::string stored;
        std::vector<int> asked;  // the count asked of each recvFile
    } cases[] = {
        {"in steps, the extra past the length never asked for", sized,
         {fake::bytes(from(1000, C)), fake::bytes(from(1000 + C) + "EXTRA")}, {}, 0, body,
         {rest, rest - C}},
        {"declined at once", sized, {fake::declined()}, {fake::bytes(from(1000))}, 0, body, {rest}},
        {"declined after a step", sized, {fake::bytes(from(1000, C)), fake::declined()},
         {fake::bytes(from(1000 + C))}, 0, body, {rest, rest - C}},
        {"no length: up to the close", kOk + "\r\n", {fake::bytes(from(1000)), fake::closed()}, {},
         0, body, {INT32_MAX, INT32_MAX}},
        {"the file refuses", sized, {fake::bytes(from(1000, C)), fake::fileRefused()}, {},
         RESULT_NO_OUTPUT, from(0, 1000 + C), {rest, rest - C}},
        {"reset in the body", sized, {fake::bytes(from(1000, C)), fake::fail(plat::kErrConnReset)},
         {}, plat::kErrConnReset, from(0, 1000 + C), {rest, rest - C}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        RequestInfo* req = receiving();
        fake::state().recvScript = {fake::bytes(c.head + from(0, 1000))};
        fake::state().recvFileScript = c.direct;
        OnSocketRead(req);
        fake::state().recvScript = c.copied;
        fake::state().recvScript.push_back(fake::closed());
        OnSocketRead(req);
        OnSocketClose(req, 0);
        EXPECT_EQ(req->result, c.result);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_TRUE(readAll(outPath) == c.stored);
        if (c.result == 0) {
            EXPECT_EQ(req->bodyStored, static_cast<int64_t>(body.size()));
        }
        EXPECT_EQ(fake::state().recvFileOffers, c.asked);
        EXPECT_EQ(fake::state().openOutputs, 0);
        destroyRequest(req);
    }

    // A rest the buffer holds at once is received into it; a full socket
    // waits for the next read event.
    for (int extra : {0, 1}) {
        SCOPED_TRACE(extra);
        fake::reset();
        std::string small = body.substr(0, 1000 + C + extra);
        RequestInfo* req = receiving();
        fake::state().recvScript = {
            fake::bytes(kOk + "Content-Length: " + std::to_string(small.size()) + "\r\n\r\n" +
                        small.substr(0, 1000))};
        fake::state().recvFileScript = {fake::fail(plat::kErrWouldBlock)};
        OnSocketRead(req);
        EXPECT_EQ(req->state, State::Receive);
        fake::state().recvScript = {fake::bytes(small.substr(1000))};
        fake::state().recvFileScript = {fake::bytes(small.substr(1000))};
        OnSocketRead(req);
        EXPECT_EQ(req->result, 0);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_TRUE(readAll(outPath) == small);
        std::vector<int> asked;
        if (extra) asked = {C + 1, C + 1};
        EXPECT_EQ(fake::state().recvFileOffers, asked);
        destroyRequest(req);
    }
}

TEST_F(ReplyTest, FailedHeadGrowthEndsWithCode3) {
    // The lost piece might have held the Content-Length: nothing after it
    // may be stored as if the reply were known.
    for (bool first : {true, false}) {
        SCOPED_TRACE(first ? "first block" : "growing");
        fake::reset();
        RequestInfo* req = receiving();
        if (!first) {
            fake::state().recvScript = {fake::bytes(kOk)};
            OnSocketRead(req);
            ASSERT_NE(req->head.bytes, nullptr);
        }
        qallocFailAt(1);
        fake::state().recvScript = {fake::bytes("X-Fill: " + std::string(600, 'a') +
                                                "\r\nContent-Length: 3\r\n\r\nabc")};
        OnSocketRead(req);
        qallocFailAt(0);
        ASSERT_EQ(fake::state().boxes.size(), 1u);
        EXPECT_EQ(fake::state().boxes[0].text, "new failed: replyhead");
        EXPECT_EQ(fake::state().boxes[0].caption, "Quodra/2.0.0");
        EXPECT_EQ(fake::state().boxes[0].type, 16u);
        EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(fake::state().openOutputs, 0);
        EXPECT_EQ(readAll(outPath), "");
        destroyRequest(req);
    }
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
