// Ending an exchange: everything open is closed once, one quit message ends
// the driver's loop, and the first ending is the one that stays.
#include <gtest/gtest.h>

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

class DisconnectTest : public RequestModelTest {
protected:
    // A record in the middle of an exchange: socket, window and both files.
    RequestInfo* openRecord(plat::Hwnd hwnd) {
        RequestInfo* req = createRequest("http://example.test/x", METHOD_GET);
        EXPECT_NE(req, nullptr);
        req->sock = 100;
        req->hwnd = hwnd;
        req->state = State::SendBody;
        req->inFd = plat::openRead(writeFile("in.bin", "abc").c_str());
        req->outFd = plat::openOut((dir() + "/out.bin").c_str());
        EXPECT_GE(req->inFd, 0);
        EXPECT_GE(req->outFd, 0);
        return req;
    }
};

TEST_F(DisconnectTest, RepeatedCallsCloseOncePostOneQuitAndKeepTheFirstEnding) {
    plat::Hwnd window = reinterpret_cast<plat::Hwnd>(0x1234);
    for (int first : {0, 5}) {
        SCOPED_TRACE(first);
        fake::reset();
        RequestInfo* req = openRecord(window);
        // However the exchange ended, success included, a later ending
        // changes nothing: a late event cannot turn a whole reply into a
        // failure, nor one failure into another.
        EXPECT_EQ(endExchange(req, first), first);
        EXPECT_TRUE(ended(req));
        EXPECT_EQ(endExchange(req, 8), 8);
        EXPECT_EQ(endExchange(req, 0), 0);
        EXPECT_EQ(req->result, first);

        EXPECT_EQ(req->sock, plat::kInvalidSocket);
        EXPECT_EQ(req->inFd, -1);
        EXPECT_EQ(req->outFd, -1);
        EXPECT_EQ(req->hwnd, window);
        EXPECT_EQ(req->state, State::Closed);
        EXPECT_EQ(fake::state().closedSockets, std::vector<plat::Socket>{100});
        EXPECT_EQ(fake::state().openInputs, 0);
        EXPECT_EQ(fake::state().openOutputs, 0);
        ASSERT_EQ(fake::state().posted.size(), 1u);
        EXPECT_EQ(fake::state().posted[0].hwnd, window);
        EXPECT_EQ(fake::state().posted[0].msg, plat::kWmQuit);
        EXPECT_EQ(fake::state().posted[0].wParam, 0u);
        EXPECT_EQ(fake::state().posted[0].lParam, 0);
        destroyRequest(req);
    }
}

TEST_F(DisconnectTest, WithoutAWindowClosesEverythingAndPostsNothing) {
    RequestInfo* req = openRecord(nullptr);
    EXPECT_EQ(endExchange(req, 10054), 10054);
    EXPECT_EQ(req->result, 10054);
    EXPECT_EQ(req->state, State::Closed);
    EXPECT_EQ(fake::state().closedSockets.size(), 1u);
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(fake::state().openOutputs, 0);
    EXPECT_TRUE(fake::state().posted.empty());

    EXPECT_EQ(endExchange(nullptr, 3), 3);
}

}  // namespace
