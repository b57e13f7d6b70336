// The request record's creation and destruction, and the per-thread list
// of live records with its look-ups.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "request_fixture.h"

namespace {

// The records of the list, head first.
std::vector<RequestInfo*> listed() {
    std::vector<RequestInfo*> out;
    for (RequestInfo* r = liveHead(); r; r = r->next) out.push_back(r);
    return out;
}

}  // namespace

using RegistryTest = RequestModelTest;

TEST_F(RegistryTest, NewRecordHoldsTheUrlPartsAndIsTheHead) {
    RequestInfo* req = createRequest("http://server:8080/a/b", METHOD_PUT);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(liveHead(), req);
    EXPECT_EQ(req->next, listAtStart);
    EXPECT_STREQ(req->host, "server");
    EXPECT_STREQ(req->path, "/a/b");
    EXPECT_EQ(req->port, 8080);
    EXPECT_STREQ(req->requestLine, "PUT /a/b HTTP/1.0\r\n");
    EXPECT_EQ(req->addrCount, 0);
    EXPECT_EQ(req->method, METHOD_PUT);
    EXPECT_EQ(req->sock, -1);
    EXPECT_EQ(req->inFd, -1);
    EXPECT_EQ(req->state, State::Idle);
    EXPECT_EQ(req->result, 0);
    EXPECT_EQ(req->bodyLength, 0);
    EXPECT_EQ(req->outFd, -1);
    EXPECT_EQ(req->hwnd, nullptr);
    for (char* text : {req->headers, req->formHead, req->formFoot, req->contentType,
                       req->outFile, req->inFile, req->head.bytes, req->user, req->password})
        EXPECT_EQ(text, nullptr);
    EXPECT_EQ(req->sendText, nullptr);
    EXPECT_TRUE(fake::state().boxes.empty());
    EXPECT_EQ(destroyRequest(req), 0);
    EXPECT_EQ(liveHead(), listAtStart);
}

TEST_F(RegistryTest, UrlWithoutHostMakesNoRecord) {
    for (const char* url : {(const char*)nullptr, "", "http://", "http:///a",
                            "http://:8080/a", "/a"}) {
        SCOPED_TRACE(url ? url : "(null)");
        EXPECT_EQ(createRequest(url, METHOD_GET), nullptr);
    }
    EXPECT_EQ(liveHead(), listAtStart);
    EXPECT_TRUE(fake::state().boxes.empty());
}

TEST_F(RegistryTest, DestroyUnlinksAnyPositionAndKeepsTheOrder) {
    for (int victim = 0; victim < 3; ++victim) {
        SCOPED_TRACE(victim);
        RequestInfo* oldest = createRequest("http://a/", METHOD_GET);
        RequestInfo* middle = createRequest("http://b/", METHOD_GET);
        RequestInfo* newest = createRequest("http://c/", METHOD_GET);
        ASSERT_TRUE(oldest && middle && newest);
        std::vector<RequestInfo*> order = {newest, middle, oldest};
        ASSERT_EQ(listed(), order);

        EXPECT_EQ(destroyRequest(order[victim]), 0);
        order.erase(order.begin() + victim);
        EXPECT_EQ(listed(), order);
        for (RequestInfo* r : order) EXPECT_EQ(destroyRequest(r), 0);
        EXPECT_EQ(liveHead(), listAtStart);
    }
}

TEST_F(RegistryTest, DestroyOfUnknownRecordChangesNothing) {
    RequestInfo* live = createRequest("http://server/a", METHOD_GET);
    ASSERT_NE(live, nullptr);

    RequestInfo stranger{};
    stranger.sock = 77;
    stranger.inFd = -1;
    stranger.hwnd = reinterpret_cast<plat::Hwnd>(0x99);
    EXPECT_EQ(destroyRequest(&stranger), 1);
    EXPECT_EQ(destroyRequest(nullptr), 1);

    EXPECT_EQ(stranger.sock, 77);
    EXPECT_EQ(stranger.hwnd, reinterpret_cast<plat::Hwnd>(0x99));
    EXPECT_TRUE(fake::state().closedSockets.empty());
    EXPECT_TRUE(fake::state().posted.empty());
    EXPECT_EQ(listed().front(), live);
    destroyRequest(live);
}

TEST_F(RegistryTest, LookupsFindTheNewestMatchAndNeverTheEmptyKeys) {
    RequestInfo* older = createRequest("http://a/", METHOD_GET);
    RequestInfo* newer = createRequest("http://b/", METHOD_GET);
    ASSERT_TRUE(older && newer);
    plat::Hwnd w1 = reinterpret_cast<plat::Hwnd>(0x10);
    plat::Hwnd w2 = reinterpret_cast<plat::Hwnd>(0x20);

    // Every new record carries sock -1 and no window; those keys find none.
    EXPECT_EQ(getRequest(-1), nullptr);
    EXPECT_EQ(getRequestFromHwnd(nullptr), nullptr);

    older->sock = 5;
    older->hwnd = w1;
    EXPECT_EQ(getRequest(5), older);
    EXPECT_EQ(getRequestFromHwnd(w1), older);
    EXPECT_EQ(getRequest(6), nullptr);
    EXPECT_EQ(getRequestFromHwnd(w2), nullptr);

    newer->sock = 5;
    newer->hwnd = w1;
    EXPECT_EQ(getRequest(5), newer);
    EXPECT_EQ(getRequestFromHwnd(w1), newer);

    // A connect attempt under way finds its record as its socket would;
    // one no longer counted finds none.
    older->attempts[0] = 7;
    older->attempts[1] = 9;
    older->attempts[2] = 11;
    older->attemptCount = 2;
    EXPECT_EQ(getRequest(7), older);
    EXPECT_EQ(getRequest(9), older);
    EXPECT_EQ(getRequest(8), nullptr);
    EXPECT_EQ(getRequest(11), nullptr);
    older->attemptCount = 0;
    EXPECT_EQ(getRequest(7), nullptr);

    older->sock = newer->sock = -1;
    older->hwnd = newer->hwnd = nullptr;
    destroyRequest(newer);
    destroyRequest(older);
}

TEST_F(RegistryTest, DestroyClosesWhatIsOpenAndPostsNoQuit) {
    std::string in = writeFile("body", "12345");
    RequestInfo* req = createRequest("http://server/a", METHOD_PUT);
    ASSERT_NE(req, nullptr);
    req->hwnd = reinterpret_cast<plat::Hwnd>(0x1234);
    req->sock = 42;
    req->attempts[0] = 43;
    req->attempts[1] = 44;
    req->attemptCount = 2;
    req->inFd = plat::openRead(in.c_str());
    req->outFd = plat::openOut((dir() + "/reply").c_str());
    ASSERT_GE(req->inFd, 0);
    ASSERT_GE(req->outFd, 0);
    // Texts set by the other stages are released with the record.
    req->outFile = copyText("/tmp/out", "outfile");
    req->inFile = copyText(in.c_str(), "infile");
    addHeaders(req, "X: 1\r\n");
    makeFormEncoding(req);

    EXPECT_EQ(destroyRequest(req), 0);
    EXPECT_TRUE(fake::state().posted.empty());
    EXPECT_EQ(fake::state().closedSockets, (std::vector<plat::Socket>{42, 43, 44}));
    EXPECT_EQ(fake::state().openInputs, 0);
    EXPECT_EQ(fake::state().openOutputs, 0);
    EXPECT_EQ(liveHead(), listAtStart);
}

TEST_F(RegistryTest, EachThreadHasItsOwnList) {
    RequestInfo* mine = createRequest("http://server/a", METHOD_GET);
    ASSERT_NE(mine, nullptr);
    RequestInfo* seenThere = mine;
    int destroyedThere = -1;
    std::thread other([&] {
        seenThere = liveHead();
        destroyedThere = destroyRequest(mine);  // not in that thread's list
    });
    other.join();
    EXPECT_EQ(seenThere, nullptr);
    EXPECT_EQ(destroyedThere, 1);
    EXPECT_EQ(liveHead(), mine);
    EXPECT_EQ(destroyRequest(mine), 0);
}
