// Sending: the texts before the body joined in one send and resumed exactly
// after partial sends and would-block, the body file sent by the platform
// itself or in chunks of the buffer with the untaken bytes read again, body
// byte counting, and the endings on send, seek and read failures.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/numbers.h"
#include "request/request.h"
#include "common/text.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

using namespace quodra;

namespace {

const std::string kHeaders = "Host: example.test\r\nX-Pad: 12\r\n\r\n";
const std::string kPrologue = "--b\r\nContent-Type: x\r\n\r\n";
const std::string kEpilogue = "\r\n--b--\r\n";

// Distinct bytes at every offset, so that a chunk read from the wrong
// position shows up in the bytes sent.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return s;
}

class SendTest : public RequestModelTest {
protected:
    RequestInfo* makeRecord(const std::string* file, bool form) {
        RequestInfo* req = createRequest("http://example.test/up", METHOD_PUT);
        EXPECT_NE(req, nullptr);
        req->sock = 100;
        req->headers = copyText(kHeaders.c_str(), "headers");
        req->outFile = copyText((dir() + "/out.bin").c_str(), "outfile");
        if (file) {
            req->inFile = copyText(writeFile("in.bin", *file).c_str(), "infile");
            req->bodyLength = static_cast<int64_t>(file->size());
            // As the exchange is composed: the file opens before anything is sent.
            EXPECT_EQ(openBody(req), 0);
        }
        if (form) {
            req->formHead = copyText(kPrologue.c_str(), "formheader");
            req->formFoot = copyText(kEpilogue.c_str(), "formfooter");
            req->bodyLength += kPrologue.size() + kEpilogue.size();
        }
        return req;
    }

    // A record already in the body state with its file open.
    RequestInfo* atBody(const std::string& file) {
        RequestInfo* req = makeRecord(&file, false);
        req->state = State::SendHeaders;
        EXPECT_EQ(enterNextState(req), Entered::Sending);
        EXPECT_EQ(req->state, State::SendBody);
        return req;
    }

    static int64_t filePosition(const RequestInfo* req) {
        return plat::seekCur(req->inFd, 0);
    }
};

TEST_F(SendTest, OneWriteEventSendsTheWholeRequest) {
    // The texts before the body go out as one send; the body file in chunks
    // of the buffer, the last one short; the epilogue after it.
    const int C = SEND_CHUNK;
    struct Case {
        size_t fileSize;
        bool form;
        std::vector<int> fileOffers;  // send offers made for file chunks
    } cases[] = {
        {0, false, {}},           {C + 476u, false, {C, 476}},
        {2u * C, false, {C, C}},  {0, true, {}},
        {C + 476u, true, {C, 476}}, {2u * C, true, {C, C}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fileSize << (c.form ? " form" : " plain"));
        fake::reset();
        std::string file = pattern(c.fileSize);
        RequestInfo* req = makeRecord(&file, c.form);
        enterNextState(req);  // the connect handler's move out of idle
        OnSocketWrite(req);

        std::string head = std::string(req->requestLine) + kHeaders + (c.form ? kPrologue : "");
        std::string body = c.form ? kPrologue + file + kEpilogue : file;
        EXPECT_EQ(fake::sent(), std::string(req->requestLine) + kHeaders + body);
        // The request line and header block are not body bytes.
        EXPECT_EQ(req->bodySent, static_cast<int64_t>(body.size()));
        EXPECT_EQ(req->state, State::Receive);
        EXPECT_EQ(req->result, 0);
        EXPECT_EQ(fake::state().openInputs, 0);
        std::vector<int> offers{static_cast<int>(head.size())};
        offers.insert(offers.end(), c.fileOffers.begin(), c.fileOffers.end());
        if (c.form) offers.push_back(static_cast<int>(kEpilogue.size()));
        EXPECT_EQ(fake::state().sendOffers, offers);
        destroyRequest(req);
    }
}

TEST_F(SendTest, TextsTooLargeToJoinGoOutOneByOne) {
    // A header block that cannot join the request line in the buffer goes
    // after it, straight from the record.
    std::string file = "0123456789";
    RequestInfo* req = makeRecord(&file, false);
    qfree(req->headers);
    std::string big = "X-Big: " + std::string(TRANSFER_BUFFER, 'h') + "\r\n\r\n";
    req->headers = copyText(big.c_str(), "headers");
    const std::string line = req->requestLine;
    enterNextState(req);
    OnSocketWrite(req);
    EXPECT_EQ(fake::sent(), line + big + file);
    EXPECT_EQ(fake::state().sendOffers,
              (std::vector<int>{static_cast<int>(line.size()), static_cast<int>(big.size()), 10}));
    EXPECT_EQ(req->state, State::Receive);
    destroyRequest(req);
}

TEST_F(SendTest, TextResumesExactlyAfterPartialSendsAndWouldBlock) {
    std::string file = "0123456789";
    RequestInfo* req = makeRecord(&file, true);
    const std::string line = req->requestLine;
    const int lineLen = static_cast<int>(line.size());
    const int headerLen = static_cast<int>(kHeaders.size());
    const int prologueLen = static_cast<int>(kPrologue.size());
    auto& script = fake::state().sendScript;
    // The line, the header block and the prologue are offered together; the
    // socket takes the line and 10 bytes of the header block.
    script = {fake::take(lineLen + 10), fake::fail(plat::kErrWouldBlock)};
    fake::state().tick = 500;
    enterNextState(req);
    OnSocketWrite(req);
    EXPECT_EQ(req->state, State::SendHeaders);
    EXPECT_EQ(req->sendPos, 10);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req->bodySent, 0);
    EXPECT_EQ(req->lastProgress, 500u);
    const int whole = lineLen + headerLen + prologueLen;
    EXPECT_EQ(fake::state().sendOffers, (std::vector<int>{whole, whole - lineLen - 10}));

    // Next write event: the rest of the header block and the prologue again
    // together; the socket takes that rest and 4 bytes of the prologue,
    // which count as body, then would block.
    fake::state().tick = 900;
    script = {fake::take(headerLen - 10 + 4), fake::fail(plat::kErrWouldBlock)};
    OnSocketWrite(req);
    EXPECT_EQ(req->state, State::SendFormHead);
    EXPECT_EQ(req->sendPos, 4);
    EXPECT_EQ(req->bodySent, 4);
    EXPECT_EQ(req->lastProgress, 900u);
    EXPECT_EQ(fake::state().sendOffers.back(), prologueLen - 4);

    OnSocketWrite(req);
    EXPECT_EQ(fake::sent(), line + kHeaders + kPrologue + file + kEpilogue);
    EXPECT_EQ(req->bodySent, static_cast<int64_t>(kPrologue.size() + file.size() + kEpilogue.size()));
    EXPECT_EQ(req->state, State::Receive);
    EXPECT_EQ(req->result, 0);
}

TEST_F(SendTest, SendErrorsEndTheExchangeWithTheirNumber) {
    struct Case {
        int failAt;  // 0 = the texts before the body, 1 = file chunk, 2 = epilogue
        int error;
    } cases[] = {{0, plat::kErrConnReset}, {0, 10053}, {1, plat::kErrConnReset}, {2, 10057}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.failAt << " " << c.error);
        fake::reset();
        std::string file = pattern(100);
        RequestInfo* req = makeRecord(&file, true);
        auto& script = fake::state().sendScript;
        for (int i = 0; i < c.failAt; ++i) script.push_back(fake::takeAll());
        script.push_back(fake::fail(c.error));
        enterNextState(req);
        OnSocketWrite(req);
        EXPECT_EQ(req->result, c.error);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(fake::state().closedSockets, std::vector<plat::Socket>{100});
        EXPECT_EQ(fake::state().sendOffers.size(), static_cast<size_t>(c.failAt + 1));
        EXPECT_EQ(fake::state().openInputs, 0);
        destroyRequest(req);
    }
}

TEST_F(SendTest, EmptyTextAdvancesWithoutSendingAndMissingTextStops) {
    RequestInfo* req = makeRecord(nullptr, false);
    req->formHead = copyText("", "formheader");
    req->inFile = copyText(writeFile("in.bin", "").c_str(), "infile");
    ASSERT_EQ(openBody(req), 0);
    req->state = State::SendHeaders;
    enterNextState(req);
    ASSERT_EQ(req->state, State::SendFormHead);
    EXPECT_EQ(sendText(req), Step::Again);
    EXPECT_EQ(req->state, State::SendBody);
    EXPECT_TRUE(fake::state().sendOffers.empty());

    RequestInfo* bare = makeRecord(nullptr, false);
    qfree(bare->headers);
    bare->headers = nullptr;
    bare->state = State::SendRequest;
    enterNextState(bare);
    EXPECT_EQ(sendText(bare), Step::Stop);
    EXPECT_EQ(bare->state, State::SendHeaders);
    EXPECT_EQ(bare->result, 0);
}

TEST_F(SendTest, WriteEventOutsideTheSendingStatesSendsNothing) {
    struct Case {
        State state;
        int result;
    } cases[] = {{State::Idle, 0}, {State::Receive, 0}, {State::Closed, 0}, {State::Closed, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        RequestInfo* req = makeRecord(nullptr, false);
        req->sendText = req->requestLine;
        req->state = c.state;
        req->result = c.result;
        OnSocketWrite(req);
        EXPECT_TRUE(fake::state().sendOffers.empty());
        EXPECT_EQ(req->state, c.state);
        destroyRequest(req);
    }
    OnSocketWrite(nullptr);
    EXPECT_EQ(sendText(nullptr), Step::Stop);
    EXPECT_EQ(sendBodyFile(nullptr), Step::Stop);
}

TEST_F(SendTest, PartlyTakenChunkIsReadAgainFromWhereTheSocketStopped) {
    const int C = SEND_CHUNK;
    std::string file = pattern(2 * C);
    RequestInfo* req = atBody(file);
    fake::state().sendScript = {fake::take(600)};
    EXPECT_EQ(sendBodyFile(req), Step::Again);
    EXPECT_EQ(filePosition(req), 600);
    EXPECT_EQ(req->bodySent, 600);
    EXPECT_EQ(sendBodyFile(req), Step::Again);
    // The C - 600 bytes not taken, then the next 600.
    EXPECT_EQ(fake::state().sendOffers, (std::vector<int>{C, C}));
    EXPECT_EQ(fake::sent(), file.substr(0, C + 600));
    EXPECT_EQ(req->bodySent, C + 600);
    // The last C - 600 bytes are the end of the announced body.
    EXPECT_EQ(sendBodyFile(req), Step::Stop);
    EXPECT_EQ(fake::state().sendOffers.back(), C - 600);
    EXPECT_EQ(req->state, State::Receive);
    EXPECT_EQ(fake::sent(), file);
    EXPECT_EQ(req->result, 0);
}

TEST_F(SendTest, PlatformSendsTheFileItselfWhereItCan) {
    // The platform's own file sending: every byte taken counts once, no step
    // asks for more than the file's share has left, the core's reads take
    // over where it declines, and its failures end the exchange as a
    // send's would.
    const int C = SEND_CHUNK;
    std::string file = pattern(2 * C + 500);
    const int all = static_cast<int>(file.size());
    struct Case {
        const char* name;
        std::deque<fake::Step> steps;  // what sendFile does, write event after write event
        int64_t announced;             // the file's share of the length (-1: its size)
        int result;
        std::string sent;              // file bytes on the wire
        std::vector<int> asked;        // the count asked of each sendFile
        std::vector<int> chunks;       // send offers of file chunks the core read
    } cases[] = {
        {"in steps, a full socket between", {fake::takeAll(), fake::take(100),
         fake::fail(plat::kErrWouldBlock), fake::takeAll(), fake::takeAll()}, -1, 0, file,
         {C, C, C, C, 400}, {}},
        {"declined at once", {fake::declined()}, -1, 0, file, {C}, {C, C, 500}},
        {"declined after a step", {fake::take(700), fake::declined()}, -1, 0, file, {C, C},
         {C, C - 200}},
        {"a file that grew: no more than announced", {fake::takeAll(), fake::takeAll()}, C + 9,
         0, file.substr(0, C + 9), {C, 9}, {}},
        {"a file that shrank ends short", {fake::takeAll(), fake::takeAll(), fake::takeAll(),
         fake::takeAll()}, all + 50, RESULT_BODY_SHORT, file, {C, C, 550, 50}, {}},
        {"the socket fails", {fake::takeAll(), fake::fail(plat::kErrConnReset)}, -1,
         plat::kErrConnReset, file.substr(0, C), {C, C}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        RequestInfo* req = makeRecord(&file, false);
        if (c.announced >= 0) req->bodyLength = c.announced;
        enterNextState(req);
        fake::state().sendFileScript = c.steps;
        OnSocketWrite(req);
        if (req->state == State::SendBody) OnSocketWrite(req);  // after would-block
        std::string head = std::string(req->requestLine) + kHeaders;
        EXPECT_EQ(fake::sent(), head + c.sent);
        EXPECT_EQ(req->result, c.result);
        EXPECT_EQ(req->state, c.result == 0 ? State::Receive : State::Closed);
        if (c.result == 0) {
            EXPECT_EQ(req->bodySent, static_cast<int64_t>(c.sent.size()));
        }
        EXPECT_EQ(fake::state().sendFileOffers, c.asked);
        std::vector<int> chunks(fake::state().sendOffers.begin() + 1,
                                fake::state().sendOffers.end());
        EXPECT_EQ(chunks, c.chunks);
        EXPECT_EQ(fake::state().openInputs, 0);
        destroyRequest(req);
    }
}

TEST_F(SendTest, WouldBlockReadsTheSameChunkAgain) {
    std::string file = pattern(1500);
    RequestInfo* req = atBody(file);
    fake::state().tick = 70;
    fake::state().sendScript = {fake::fail(plat::kErrWouldBlock)};
    EXPECT_EQ(sendBodyFile(req), Step::Stop);
    EXPECT_EQ(filePosition(req), 0);
    EXPECT_EQ(req->bodySent, 0);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req->lastProgress, 0u);
    OnSocketWrite(req);
    EXPECT_EQ(fake::sent(), file);
    EXPECT_EQ(req->bodySent, 1500);
    EXPECT_EQ(req->lastProgress, 70u);
    EXPECT_EQ(req->state, State::Receive);
}

TEST_F(SendTest, FailedRepositioningEndsWithCode9) {
    struct Case {
        const char* name;
        fake::Step step;
        int64_t counted;
    } cases[] = {
        {"partial take", fake::take(600), 600},
        {"nothing taken", fake::take(0), 0},
        {"would-block", fake::fail(plat::kErrWouldBlock), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        RequestInfo* req = atBody(pattern(2048));
        fake::state().sendScript = {c.step};
        fake::state().failSeekAfter = 0;
        EXPECT_EQ(sendBodyFile(req), Step::Stop);
        EXPECT_EQ(req->result, RESULT_SEEK_FAILED);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(req->bodySent, c.counted);
        EXPECT_EQ(fake::state().openInputs, 0);
        destroyRequest(req);
    }
}

TEST_F(SendTest, ReadFailureEndsTheFileAndTheShortBodyGives8) {
    struct Case {
        int failReadAfter;
        size_t sentBytes;
    } cases[] = {{0, 0}, {1, static_cast<size_t>(SEND_CHUNK)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failReadAfter);
        fake::reset();
        std::string file = pattern(2 * SEND_CHUNK);
        RequestInfo* req = atBody(file);
        fake::state().failReadAfter = c.failReadAfter;
        OnSocketWrite(req);
        EXPECT_EQ(fake::sent(), file.substr(0, c.sentBytes));
        EXPECT_EQ(req->result, RESULT_BODY_SHORT);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(fake::state().openOutputs, 0);
        destroyRequest(req);
    }
}

TEST_F(SendTest, FileThatShrankAfterItsSizeWasTakenGives8) {
    std::string file = pattern(1500);
    RequestInfo* req = makeRecord(&file, true);
    req->bodyLength += 548;  // announced when the file held 2,048 bytes
    enterNextState(req);
    OnSocketWrite(req);
    EXPECT_EQ(fake::sent(), std::string(req->requestLine) + kHeaders + kPrologue + file + kEpilogue);
    EXPECT_EQ(req->result, RESULT_BODY_SHORT);
    EXPECT_EQ(req->state, State::Closed);
    EXPECT_FALSE(std::ifstream(dir() + "/out.bin").good());
}

TEST_F(SendTest, FileThatGrewAfterItsSizeWasTakenIsSentOnlyAsFarAsAnnounced) {
    // The extra bytes would run into the epilogue or the next request.
    struct Case {
        size_t announced;  // the file's size when its length was taken
        bool form;
    } cases[] = {{0, false}, {1000, false}, {SEND_CHUNK, false}, {SEND_CHUNK + 1000u, false},
                 {0, true},  {1000, true},  {SEND_CHUNK, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.announced << (c.form ? " form" : " plain"));
        fake::reset();
        std::string file = pattern(SEND_CHUNK + 3000);
        RequestInfo* req = makeRecord(&file, c.form);
        req->bodyLength -= static_cast<int64_t>(file.size() - c.announced);
        enterNextState(req);
        OnSocketWrite(req);
        std::string sent = file.substr(0, c.announced);
        if (c.form) sent = kPrologue + sent + kEpilogue;
        EXPECT_EQ(fake::sent(), std::string(req->requestLine) + kHeaders + sent);
        EXPECT_EQ(req->bodySent, req->bodyLength);
        EXPECT_EQ(req->result, 0);
        EXPECT_EQ(req->state, State::Receive);
        EXPECT_EQ(fake::state().openInputs, 0);
        destroyRequest(req);
    }
}

}  // namespace
