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
        req->outfile = copyText(outPath.c_str(), "outfile");
        return req;
    }

    std::string outPath;
};

enum Piece { REQUEST, HEADERS, FORMHEADER, INFILE, FORMFOOTER, OUTFILE };

const char* pieceOf(const RequestInfo* req, Piece p) {
    switch (p) {
    case REQUEST: return req->request;
    case HEADERS: return req->headers;
    case FORMHEADER: return req->formheader;
    case INFILE: return req->infile;
    case FORMFOOTER: return req->formfooter;
    case OUTFILE: return req->outfile;
    }
    return nullptr;
}

struct Step {
    int state;
    int value;
    Piece piece;  // what sendbuf points at
    int fromFile;
};

struct Shape {
    const char* name;
    bool formheader = false;
    bool infile = false;
    bool formfooter = false;
    std::vector<Step> path;  // after each setNextState from STATE_IDLE
};

TEST_F(StateMachineTest, EachRequestShapeWalksItsPath) {
    const Step send2{STATE_SEND_REQUEST, 0, REQUEST, 0};
    const Step send3{STATE_SEND_HEADERS, 0, HEADERS, 0};
    const Step send6{STATE_SEND_FORMHEADER, 0, FORMHEADER, 0};
    const Step send7{STATE_SEND_BODY, 0, INFILE, 1};
    const Step send8{STATE_SEND_FORMFOOTER, 0, FORMFOOTER, 0};
    const Step recv9{STATE_RECEIVE, 7, OUTFILE, 1};
    const Step closed10{STATE_CLOSED, 0, OUTFILE, 1};
    const Shape shapes[] = {
        {.name = "no body", .path = {send2, send3, recv9, closed10, closed10}},
        {.name = "plain body", .infile = true, .path = {send2, send3, send7, recv9, closed10}},
        {.name = "form upload", .formheader = true, .infile = true, .formfooter = true,
         .path = {send2, send3, send6, send7, send8, recv9, closed10, closed10}},
    };
    std::string inPath = writeFile("in.bin", "body bytes");
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        fake::reset();
        RequestInfo* req = makeRecord();
        std::remove(outPath.c_str());
        if (shape.formheader) req->formheader = copyText("--b\r\n\r\n", "formheader");
        if (shape.infile) req->infile = copyText(inPath.c_str(), "infile");
        if (shape.formfooter) req->formfooter = copyText("\r\n--b--\r\n", "formfooter");
        req->sendpos = 3;
        for (const Step& want : shape.path) {
            int value = setNextState(req);
            ASSERT_EQ(req->state, want.state);
            EXPECT_EQ(value, want.value);
            EXPECT_EQ(req->sendbuf, pieceOf(req, want.piece));
            EXPECT_EQ(req->sendfromfile, want.fromFile);
            EXPECT_EQ(req->sendpos, 0);
            // Each file is open exactly in the state that works on it.
            EXPECT_EQ(req->infd >= 0, want.state == STATE_SEND_BODY);
            EXPECT_EQ(fake::state().openInputs, want.state == STATE_SEND_BODY ? 1 : 0);
            EXPECT_EQ(req->outfd >= 0, want.state == STATE_RECEIVE);
            EXPECT_EQ(fake::state().openOutputs, want.state == STATE_RECEIVE ? 1 : 0);
            // The output file appears only once the request is out.
            EXPECT_EQ(exists(outPath), want.state >= STATE_RECEIVE);
            req->sendpos = 5;
        }
        EXPECT_EQ(req->result, 0);
        destroyRequest(req);
    }
}

TEST_F(StateMachineTest, RefusedWithoutRecordOrMethod) {
    EXPECT_EQ(setNextState(nullptr), 1);
    EXPECT_EQ(setStatePointers(nullptr), 1);
    RequestInfo* req = makeRecord();
    req->infile = copyText(writeFile("in.bin", "x").c_str(), "infile");
    req->state = STATE_SEND_HEADERS;
    ASSERT_EQ(setNextState(req), 0);  // opens the input file
    ASSERT_GE(req->infd, 0);
    req->method = 0;
    req->sendpos = 7;
    EXPECT_EQ(setNextState(req), 1);
    EXPECT_EQ(setStatePointers(req), 1);
    EXPECT_EQ(req->state, STATE_SEND_BODY);
    EXPECT_EQ(req->sendpos, 7);
    EXPECT_GE(req->infd, 0);
    EXPECT_EQ(fake::state().openInputs, 1);
}

TEST_F(StateMachineTest, UnopenableInputFileEndsWithCode5) {
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
        if (c.formheader) req->formheader = copyText("--b\r\n", "formheader");
        if (c.infile) req->infile = copyText(c.infile, "infile");
        req->state = STATE_SEND_HEADERS;
        if (c.formheader) {
            ASSERT_EQ(setNextState(req), 0);
        }
        EXPECT_EQ(setNextState(req), 0);
        EXPECT_EQ(req->result, RESULT_NO_INPUT);
        EXPECT_EQ(req->state, STATE_CLOSED);
        EXPECT_EQ(req->infd, -1);
        EXPECT_EQ(req->sock, -1);
        EXPECT_FALSE(exists(outPath));
        destroyRequest(req);
    }
}

TEST_F(StateMachineTest, ReceiveChecksThatTheAnnouncedBodyWasSent) {
    struct Case {
        int64_t contentlength;
        int64_t bytessent;
        int value;
    } cases[] = {
        {100, 99, RESULT_BODY_SHORT},
        {100, 0, RESULT_BODY_SHORT},
        {100, 100, 7},
        {100, 101, 7},
        {0, 0, 7},
        {5000000000LL, 4999999999LL, RESULT_BODY_SHORT},  // beyond 32 bits
        {5000000000LL, 5000000000LL, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.contentlength << "/" << c.bytessent);
        RequestInfo* req = makeRecord();
        writeFile("out.bin", "earlier contents");
        req->contentlength = c.contentlength;
        req->bytessent = c.bytessent;
        req->replyread = 9;
        req->state = STATE_SEND_HEADERS;
        EXPECT_EQ(setNextState(req), c.value);
        if (c.value == 7) {
            EXPECT_EQ(req->result, 0);
            EXPECT_EQ(req->state, STATE_RECEIVE);
            EXPECT_EQ(req->replyread, 0);
            // Leaving the receive state closes the stream with its bytes.
            plat::writeOut(req->outfd, "abc", 3);
            EXPECT_EQ(setNextState(req), 0);
            EXPECT_EQ(readAll(outPath), "abc");
        } else {
            EXPECT_EQ(req->result, RESULT_BODY_SHORT);
            EXPECT_EQ(req->state, STATE_CLOSED);
            EXPECT_EQ(readAll(outPath), "earlier contents");
        }
        destroyRequest(req);
    }
}

TEST_F(StateMachineTest, UncreatableOutputFileEndsWithCode3) {
    RequestInfo* req = makeRecord();
    qfree(req->outfile);
    req->outfile = copyText((dir() + "/missing/out.bin").c_str(), "outfile");
    req->state = STATE_SEND_HEADERS;
    EXPECT_EQ(setNextState(req), RESULT_NO_OUTPUT);
    EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
    EXPECT_EQ(req->state, STATE_CLOSED);
    EXPECT_EQ(req->outfd, -1);
}

TEST_F(StateMachineTest, NumbersWithoutAStateFallBack) {
    std::string inPath = writeFile("in.bin", "x");
    // 1 moves on as if idle; 4, 5 and numbers outside 0..10 return to idle
    // after closing whatever was open.
    struct Case {
        int from;
        int to;
        int value;
    } cases[] = {{1, STATE_SEND_REQUEST, 0}, {4, STATE_IDLE, 1}, {5, STATE_IDLE, 1},
                 {11, STATE_IDLE, 1},        {-1, STATE_IDLE, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        fake::reset();
        RequestInfo* req = makeRecord();
        req->infd = plat::openRead(inPath.c_str());
        req->outfd = plat::openOut(outPath.c_str());
        req->state = c.from;
        EXPECT_EQ(setNextState(req), c.value);
        EXPECT_EQ(req->state, c.to);
        EXPECT_EQ(req->infd, -1);
        EXPECT_EQ(req->outfd, -1);
        EXPECT_EQ(fake::state().openInputs, 0);
        EXPECT_EQ(fake::state().openOutputs, 0);
        if (c.to == STATE_SEND_REQUEST) {
            EXPECT_EQ(req->sendbuf, req->request);
        }
        destroyRequest(req);
    }
    // 1 itself is set up like the request-line state.
    RequestInfo* req = makeRecord();
    req->state = 1;
    EXPECT_EQ(setStatePointers(req), 0);
    EXPECT_EQ(req->sendbuf, req->request);
    EXPECT_EQ(req->sendfromfile, 0);
}

}  // namespace
