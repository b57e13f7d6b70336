// Ending an exchange: everything open is closed once, one quit message ends
// the driver's loop, and the first non-zero code is the one that stays.
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
        req->state = STATE_SEND_BODY;
        req->infd = plat::openRead(writeFile("in.bin", "abc").c_str());
        req->outfd = plat::openOut((dir() + "/out.bin").c_str());
        EXPECT_GE(req->infd, 0);
        EXPECT_GE(req->outfd, 0);
        return req;
    }
};

TEST_F(DisconnectTest, RepeatedCallsCloseOncePostOneQuitAndKeepTheFirstCode) {
    plat::Hwnd window = reinterpret_cast<plat::Hwnd>(0x1234);
    RequestInfo* req = openRecord(window);

    // A code of 0 records nothing, so a later failure still counts.
    EXPECT_EQ(httpDisconnect(req, 0), 0);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(httpDisconnect(req, 5), 5);
    EXPECT_EQ(httpDisconnect(req, 8), 8);
    EXPECT_EQ(httpDisconnect(req, 0), 0);
    EXPECT_EQ(req->result, 5);

    EXPECT_EQ(req->sock, plat::kInvalidSocket);
    EXPECT_EQ(req->infd, -1);
    EXPECT_EQ(req->outfd, -1);
    EXPECT_EQ(req->hwnd, nullptr);
    EXPECT_EQ(req->state, STATE_CLOSED);
    EXPECT_EQ(fake::state().closedSockets, std::vector<plat::Socket>{100});
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(fake::state().openOutputs, 0);
    ASSERT_EQ(fake::state().posted.size(), 1u);
    EXPECT_EQ(fake::state().posted[0].hwnd, window);
    EXPECT_EQ(fake::state().posted[0].msg, plat::kWmQuit);
    EXPECT_EQ(fake::state().posted[0].wParam, 0u);
    EXPECT_EQ(fake::state().posted[0].lParam, 0);
}

TEST_F(DisconnectTest, WithoutAWindowClosesEverythingAndPostsNothing) {
    RequestInfo* req = openRecord(nullptr);
    EXPECT_EQ(httpDisconnect(req, 10054), 10054);
    EXPECT_EQ(req->result, 10054);
    EXPECT_EQ(req->state, STATE_CLOSED);
    EXPECT_EQ(fake::state().closedSockets.size(), 1u);
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(fake::state().openOutputs, 0);
    EXPECT_TRUE(fake::state().posted.empty());

    EXPECT_EQ(httpDisconnect(nullptr, 3), 3);
}

}  // namespace
