// The transfer state machine: the order of the states for each shape of
// request, what each state is pointed at, which files are open when, and
// the endings on entering the body and receive states.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "common/alloc.h"
#include "request/request.h"
#include "common/text.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

using namespace quodra;

namespace {

bool exists(const std::string& path) { return std::ifstream(path).good(); }

class StateMachineTest : public RequestModelTest {
protected:
    // A connected GET record with its header block and output path.
    RequestInfo* makeRecord() {
        RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
        EXPECT_NE(req, nullptr);
        req->sock = 100;
        req->headers = copyText("Host: example.test\r\n\r\n", "headers");
        outPath = dir() + "/out.bin";
        req->outFile = copyText(outPath.c_str(), "outfile");
        return req;
    }

    std::string outPath;
};

enum Piece { NONE, REQUEST, HEADERS, OWNBODY, FORMHEADER, FORMFOOTER };

const char* pieceOf(const RequestInfo* req, Piece p) {
    switch (p) {
    case NONE: return nullptr;
    case REQUEST: return req->requestLine;
    case HEADERS: return req->headers;
    case OWNBODY: return req->ownBody;
    case FORMHEADER: return req->formHead;
    case FORMFOOTER: return req->formFoot;
    }
    return nullptr;
}

struct Step {
    State state;
    Entered value;
    Piece piece;  // the text sendText points at
};

struct Shape {
    const char* name;
    bool formheader = false;
    bool infile = false;
    bool formfooter = false;
    bool ownbody = false;
    std::vector<Step> path;  // after each enterNextState from State::Idle
};

TEST_F(StateMachineTest, EachRequestShapeWalksItsPath) {
    const Step send2{State::SendRequest, Entered::Sending, REQUEST};
    const Step send3{State::SendHeaders, Entered::Sending, HEADERS};
    const Step sendOwn{State::SendOwnBody, Entered::Sending, OWNBODY};
    const Step send6{State::SendFormHead, Entered::Sending, FORMHEADER};
    const Step send7{State::SendBody, Entered::Sending, NONE};
    const Step send8{State::SendFormFoot, Entered::Sending, FORMFOOTER};
    // Nothing follows the receive state: the reply's own end ends it.
    const Step recv9{State::Receive, Entered::Receiving, NONE};
    const Shape shapes[] = {
        {.name = "no body", .path = {send2, send3, recv9, recv9}},
        {.name = "plain body", .infile = true, .path = {send2, send3, send7, recv9}},
        // The library's own body needs no file.
        {.name = "own body", .ownbody = true, .path = {send2, send3, sendOwn, recv9, recv9}},
        {.name = "form upload", .formheader = true, .infile = true, .formfooter = true,
         .path = {send2, send3, send6, send7, send8, recv9, recv9}},
    };
    std::string inPath = writeFile("in.bin", "body bytes");
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        fake::reset();
        RequestInfo* req = makeRecord();
        std::remove(outPath.c_str());
        if (shape.formheader) req->formHead = copyText("--b\r\n\r\n", "formheader");
        if (shape.infile) req->inFile = copyText(inPath.c_str(), "infile");
        if (shape.formfooter) req->formFoot = copyText("\r\n--b--\r\n", "formfooter");
        if (shape.ownbody) req->ownBody = "<lockinfo/>";
        // As the exchange is composed: the body file is open before anything is sent.
        ASSERT_EQ(openBody(req), 0);
        req->sendPos = 3;
        for (const Step& want : shape.path) {
            Entered value = enterNextState(req);
            ASSERT_EQ(req->state, want.state);
            EXPECT_EQ(value, want.value);
            EXPECT_EQ(req->sendText, pieceOf(req, want.piece));
            if (want.state != State::Receive) {
                EXPECT_EQ(req->sendPos, 0);
            }
            // The body file stays open until its state is left.
            bool bodyOpen = shape.infile && want.state <= State::SendBody;
            EXPECT_EQ(req->inFd >= 0, bodyOpen);
            EXPECT_EQ(fake::state().openInputs, bodyOpen ? 1 : 0);
            // No state makes the output: only the reply's head does.
            EXPECT_EQ(req->outFd, -1);
            EXPECT_EQ(fake::state().openOutputs, 0);
            EXPECT_FALSE(exists(outPath));
            req->sendPos = 5;
        }
        EXPECT_EQ(req->result, 0);
        destroyRequest(req);
    }
}

TEST_F(StateMachineTest, AnEndedExchangeStaysEnded) {
    RequestInfo* req = makeRecord();
    req->inFile = copyText(writeFile("in.bin", "x").c_str(), "infile");
    ASSERT_EQ(openBody(req), 0);
    req->state = State::SendHeaders;
    ASSERT_EQ(enterNextState(req), Entered::Sending);
    ASSERT_EQ(req->state, State::SendBody);
    ASSERT_GE(req->inFd, 0);
    EXPECT_EQ(endExchange(req, RESULT_SEEK_FAILED), RESULT_SEEK_FAILED);
    EXPECT_TRUE(ended(req));
    EXPECT_EQ(req->inFd, -1);
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(enterNextState(req), Entered::Ended);
    EXPECT_EQ(req->state, State::Closed);
    EXPECT_EQ(req->result, RESULT_SEEK_FAILED);
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(fake::state().openOutputs, 0);
}

// A body state reached without the body file open (a record composed
// without opening it) ends with 5 rather than send a body it cannot finish.
TEST_F(StateMachineTest, BodyStateWithoutItsFileEndsWithCode5) {
    struct Case {
        const char* name;
        bool formheader;
        const char* infile;  // null = none
    } cases[] = {
        {"missing file", false, "/no/such/dir/in.bin"},
        {"empty path", false, ""},
        {"prologue without a file", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RequestInfo* req = makeRecord();
        if (c.formheader) req->formHead = copyText("--b\r\n", "formheader");
        if (c.infile) req->inFile = copyText(c.infile, "infile");
        req->state = State::SendHeaders;
        if (c.formheader) {
            ASSERT_EQ(enterNextState(req), Entered::Sending);
        }
        EXPECT_EQ(enterNextState(req), Entered::Ended);
        EXPECT_EQ(req->result, RESULT_NO_INPUT);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(req->inFd, -1);
        EXPECT_EQ(req->sock, -1);
        EXPECT_FALSE(exists(outPath));
        destroyRequest(req);
    }
}

TEST_F(StateMachineTest, ReceiveChecksThatTheAnnouncedBodyWasSent) {
    struct Case {
        int64_t contentlength;
        int64_t bytessent;
        bool receives;
    } cases[] = {
        {100, 99, false},
        {100, 0, false},
        {100, 100, true},
        {100, 101, true},
        {0, 0, true},
        {5000000000LL, 4999999999LL, false},  // beyond 32 bits
        {5000000000LL, 5000000000LL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.contentlength << "/" << c.bytessent);
        RequestInfo* req = makeRecord();
        writeFile("out.bin", "earlier contents");
        req->bodyLength = c.contentlength;
        req->bodySent = c.bytessent;
        req->bodyStored = 9;
        req->state = State::SendHeaders;
        EXPECT_EQ(enterNextState(req), c.receives ? Entered::Receiving : Entered::Ended);
        if (c.receives) {
            EXPECT_EQ(req->result, 0);
            EXPECT_EQ(req->state, State::Receive);
            EXPECT_EQ(req->bodyStored, 0);
            // The output waits for the reply's head.
            EXPECT_EQ(req->outFd, -1);
            EXPECT_EQ(readAll(outPath), "earlier contents");
            ASSERT_TRUE(finalHeadArrived(req));
            // The end of the exchange closes the output file with its bytes.
            plat::writeOut(req->outFd, "abc", 3);
            EXPECT_EQ(endExchange(req, RESULT_OK), RESULT_OK);
            EXPECT_EQ(readAll(outPath), "abc");
        } else {
            EXPECT_EQ(req->result, RESULT_BODY_SHORT);
            EXPECT_EQ(req->state, State::Closed);
            EXPECT_EQ(readAll(outPath), "earlier contents");
        }
        destroyRequest(req);
    }
}

// A request with a body part is not started without its file open: the
// line and the head would promise a body that never follows.
TEST_F(StateMachineTest, RequestWithoutItsOpenBodyFileSendsNothing) {
    for (bool form : {false, true}) {
        SCOPED_TRACE(form ? "form" : "plain body");
        fake::reset();
        RequestInfo* req = makeRecord();
        req->inFile = copyText(writeFile("in.bin", "x").c_str(), "infile");
        if (form) req->formHead = copyText("--b\r\n", "formheader");
        EXPECT_EQ(enterNextState(req), Entered::Ended);
        EXPECT_EQ(req->result, RESULT_NO_INPUT);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(req->sendText, nullptr);
        destroyRequest(req);
    }
}

// The reply's head cuts the sending short: from any sending state the
// exchange receives at once, its body file closed, and the body is not
// held against its announced length.
TEST_F(StateMachineTest, StopSendingReceivesAtOnce) {
    std::string inPath = writeFile("in.bin", "body bytes");
    for (State from : {State::SendRequest, State::SendHeaders, State::SendBody}) {
        SCOPED_TRACE(static_cast<int>(from));
        fake::reset();
        RequestInfo* req = makeRecord();
        req->inFile = copyText(inPath.c_str(), "infile");
        ASSERT_EQ(openBody(req), 0);
        req->bodyLength = 10;
        while (req->state != from) ASSERT_EQ(enterNextState(req), Entered::Sending);
        stopSending(req);
        EXPECT_EQ(req->state, State::Receive);
        EXPECT_EQ(req->inFd, -1);
        EXPECT_EQ(fake::state().openInputs, 0);
        EXPECT_EQ(req->sendText, nullptr);
        EXPECT_EQ(req->result, 0);
        // Not a sending state any more: a second stop changes nothing.
        stopSending(req);
        EXPECT_EQ(req->state, State::Receive);
        destroyRequest(req);
    }
}

}  // namespace
