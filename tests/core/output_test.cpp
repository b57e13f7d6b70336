// The one moment a reply's output is made: when its final head has come.
// What it makes of each kind of output, and that it stops the sending.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "common/results.h"
#include "fake_platform.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

using namespace quodra;

namespace {

using OutputTest = RequestModelTest;

bool exists(const std::string& path) { return std::ifstream(path).good(); }

TEST_F(OutputTest, FinalHeadMakesTheOutput) {
    struct Case {
        const char* name;
        std::string outFile;
        const char* before;  // contents before; null: no such file
        bool made;           // the output is open afterwards
        const char* after;   // contents afterwards; null: no such file
    };
    const Case cases[] = {
        {"a new file is created", dir() + "/new.bin", nullptr, true, ""},
        {"an existing file is emptied", dir() + "/old.bin", "earlier contents", true, ""},
        {"a folder that went missing", dir() + "/gone/out.bin", nullptr, false, nullptr},
        {"a path that became a folder", dir(), nullptr, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        if (c.before) writeFile(c.outFile.substr(dir().size() + 1), c.before);
        RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
        ASSERT_NE(req, nullptr);
        req->sock = 100;
        req->outFile = copyText(c.outFile.c_str(), "outfile");
        req->state = State::Receive;
        EXPECT_EQ(finalHeadArrived(req), c.made);
        EXPECT_EQ(fake::state().outOpens, 1);
        if (c.made) {
            EXPECT_GE(req->outFd, 0);
            EXPECT_EQ(req->result, 0);
            EXPECT_EQ(req->state, State::Receive);
        } else {
            EXPECT_EQ(req->outFd, -1);
            EXPECT_EQ(req->result, RESULT_NO_OUTPUT);
            EXPECT_TRUE(ended(req));
        }
        if (c.after) {
            EXPECT_EQ(readAll(c.outFile), c.after);
        } else {
            EXPECT_FALSE(exists(c.outFile) && c.outFile != dir());
        }
        destroyRequest(req);
        EXPECT_EQ(fake::state().openOutputs, 0);
    }
}

// An output the call holds (a FIFO, a device) is written as it is: nothing
// is opened by name, and the exchange leaves it open for the call to close.
TEST_F(OutputTest, HeldOutputIsWrittenAndLeftOpen) {
    int held = -1;
    ASSERT_EQ(plat::checkOut("/dev/null", &held, 0), 0);
    ASSERT_GE(held, 0);
    RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
    ASSERT_NE(req, nullptr);
    req->sock = 100;
    req->outFile = copyText("/dev/null", "outfile");
    req->outHeld = held;
    req->state = State::Receive;
    ASSERT_TRUE(finalHeadArrived(req));
    EXPECT_EQ(req->outFd, held);
    EXPECT_EQ(fake::state().outOpens, 0);
    EXPECT_EQ(endExchange(req, RESULT_OK), RESULT_OK);
    EXPECT_EQ(fake::state().openOutputs, 1) << "the exchange closed the call's output";
    destroyRequest(req);
    EXPECT_EQ(fake::state().openOutputs, 1);
    EXPECT_EQ(plat::closeOut(held), 0);
}

// A head that comes while the request goes out ends the sending there,
// without the check of the body against its announced length.
TEST_F(OutputTest, FinalHeadStopsTheSending) {
    RequestInfo* req = createRequest("http://example.test/x", METHOD_PUT);
    ASSERT_NE(req, nullptr);
    req->sock = 100;
    req->outFile = copyText((dir() + "/out.bin").c_str(), "outfile");
    req->inFile = copyText(writeFile("in.bin", std::string(5000, 'b')).c_str(), "infile");
    req->headers = copyText("Host: example.test\r\n\r\n", "headers");
    ASSERT_EQ(openBody(req), 0);
    calculateContentLength(req);
    while (req->state != State::SendBody) ASSERT_EQ(enterNextState(req), Entered::Sending);
    ASSERT_TRUE(finalHeadArrived(req));
    EXPECT_EQ(req->state, State::Receive);
    EXPECT_EQ(req->inFd, -1);
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(req->result, 0);
    EXPECT_GE(req->outFd, 0);
    EXPECT_TRUE(exists(dir() + "/out.bin"));
    destroyRequest(req);
}

}  // namespace
