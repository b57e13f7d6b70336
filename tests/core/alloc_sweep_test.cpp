// Every allocation of every call fails in turn, the whole exchange played by
// the fake platform. Only three endings are honest: 1 with nothing sent and
// no window made (the request could not be composed); the exact request sent
// whole (or as far as a reply that came early let it go), then 3 (a
// reply-head piece could not be kept) with the output never made; or 0 with
// the same bytes sent and the exact body stored. A failure leaves its line
// for httpLastErrorText, and the request kept for httpLastRequest is the
// one sent, or none when its own copy could not be made. Never a changed request,
// and in every case nothing left behind: no heap block, open file, window,
// timer or queued message.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "api/api.h"
#include "platform/numbers.h"
#include "api/last_call.h"
#include "request/auth_cache.h"
#include "common/alloc.h"
#include "fake_platform.h"
#include "quodra.h"
#include "request_fixture.h"
#include "transfer/transfer.h"

using namespace quodra;

namespace {

constexpr plat::Socket SOCK = 100;

fake::Posted net(long event) {
    return {nullptr, WM_NETNOTIFY, static_cast<plat::WParam>(SOCK), event};
}

class AllocSweep : public RequestModelTest {
protected:
    // A peer that answers with a head long enough to be grown twice, split
    // over two reads, and a two-byte body.
    static void script() {
        auto& s = fake::state();
        // The lookup's completion: no error, one address.
        s.incoming = {{nullptr, WM_HOSTNOTIFY, 0, 1}, net(16), net(1), net(32)};
        s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nX-Pad: " + std::string(300, 'a')),
                        fake::bytes(std::string(400, 'a') + "\r\nContent-Length: 2\r\n\r\nok"),
                        fake::closed()};
    }
};

TEST_F(AllocSweep, EveryCallEndsHonestlyWhicheverAllocationFails) {
    const std::string in = writeFile("in.xml", "<propfind/>");
    const std::string out = dir() + "/out.bin";
    using Call = std::function<int()>;
    const struct {
        const char* name;
        Call call;
        const char* lines = nullptr;  // the caller's header lines for the call
    } calls[] = {
        {"httpGet", [&] { return httpGet("http://server/a", out.c_str(), 0); }},
        {"httpGet with header lines", [&] { return httpGet("http://server/a", out.c_str(), 0); },
         "X-A: 1\nUser-Agent: Mine"},
        {"davPropfind with header lines",
         [&] { return davPropfind("http://server/d/", in.c_str(), out.c_str(), 1, 0); },
         "Depth: 0\nX-A: 1"},
        {"httpGet with userinfo", [&] { return httpGet("http://me:pw@server:8080/a?q#f", out.c_str(), 0); }},
        {"httpHead", [&] { return httpHead("http://server/a", out.c_str(), 0); }},
        {"httpPostFile", [&] { return httpPostFile("http://server/up", in.c_str(), out.c_str(), 0); }},
        {"davOptions", [&] { return davOptions("http://server/", out.c_str(), 0); }},
        {"davMkcol", [&] { return davMkcol("http://server/c/", out.c_str(), 0); }},
        {"davPropfind", [&] { return davPropfind("http://server/d/", in.c_str(), out.c_str(), 1, 0); }},
        {"davPut", [&] { return davPut("http://server/p", in.c_str(), out.c_str(), 0); }},
        {"davDelete", [&] { return davDelete("http://server/p", out.c_str(), 0); }},
        {"davMove", [&] { return davMove("http://server/a", "http://server/b", out.c_str(), 0, 0, 0); }},
        {"davCopy", [&] { return davCopy("http://server/a", "http://server/b", out.c_str(), 0, 0, 0); }},
        {"davProppatch", [&] { return davProppatch("http://server/p", in.c_str(), out.c_str(), 0); }},
        {"davLock, own body", [&] { return davLock("http://server/p", nullptr, out.c_str(), 0, 600, 0); }},
        {"davLock, body file", [&] { return davLock("http://server/d/", in.c_str(), out.c_str(), -1, 0, 0); }},
        {"davLock, refresh", [&] { return davLock("http://server/p", "", out.c_str(), 0, -1, 0); }},
        {"davUnlock", [&] { return davUnlock("http://server/p", "urn:uuid:1", out.c_str(), 0); }},
    };

    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        // Set outside the count: each call takes its own copy.
        ASSERT_EQ(httpSetOptionText(QUODRA_OPTION_HEADERS, c.lines), 0);
        // The run without a failure gives the request and the body.
        fake::reset();
        script();
        std::remove(out.c_str());
        ASSERT_EQ(c.call(), 0);
        const std::string request = fake::sent();
        const std::string body = readAll(out);
        ASSERT_NE(request.find("\r\n\r\n"), std::string::npos);

        int refused = 0, headLost = 0, requestLostRuns = 0;
        for (long k = 1;; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k));
            fake::reset();
            script();
            std::remove(out.c_str());
            // What a call keeps for its caller (the last head) lives until
            // the next call; it is let go around the count.
            forgetLastCall();
            long live = qallocLive();
            qallocResetCount();
            qallocFailAt(k);
            int result = c.call();
            long made = qallocCount();
            qallocFailAt(0);
            // What the call kept for its caller: why it failed, and the
            // request it sent unless keeping that copy was what failed.
            std::string why(512, '\0');
            why.resize(static_cast<size_t>(httpLastErrorText(&why[0], 512)));
            std::string kept(request.size() + 1, '\0');
            int keptLength = httpLastRequest(&kept[0], static_cast<int>(kept.size()));
            kept.resize(static_cast<size_t>(keptLength < 0 ? 0 : keptLength));
            forgetLastCall();

            const fake::State& s = fake::state();
            EXPECT_EQ(qallocLive(), live) << "heap blocks left behind";
            EXPECT_EQ(liveHead(), nullptr) << "a record outlived its call";
            EXPECT_EQ(s.openInputs + s.openOutputs, 0) << "a file left open";
            EXPECT_EQ(s.createdWindows.size(), s.destroyedWindows.size()) << "a window left";
            EXPECT_EQ(s.liveTimers, 0) << "a timer left";
            EXPECT_EQ(fake::queued(), 0u) << "a message left queued";

            if (made < k) {  // ran through without reaching the k-th
                EXPECT_EQ(result, 0);
                EXPECT_EQ(s.sent, request);
                break;
            }
            ASSERT_EQ(s.boxes.size(), 1u) << "each failure shows one box";
            EXPECT_EQ(s.boxes[0].text.rfind("new failed: ", 0), 0u) << s.boxes[0].text;
            const bool requestLost = s.boxes[0].text == "new failed: lastrequest";
            if (result != 0) EXPECT_NE(why.find("memory ran out"), std::string::npos) << why;
            else EXPECT_EQ(why, "");
            if (requestLost) {
                ++requestLostRuns;
                EXPECT_EQ(result, 0) << "only the caller's copy was lost";
                EXPECT_EQ(kept, "");
            } else if (result != RESULT_REFUSED) {
                EXPECT_EQ(kept, request.substr(0, request.find("\r\n\r\n") + 4))
                    << "the request kept is not the one sent";
            }
            if (result == RESULT_REFUSED) {
                ++refused;
                EXPECT_EQ(s.sent, "") << "a refused call sent bytes";
                EXPECT_TRUE(s.createdWindows.empty());
                EXPECT_FALSE(std::ifstream(out).good()) << "a refused call made its output";
            } else {
                EXPECT_EQ(s.sent, request) << "a changed or partial request went out";
                if (result == RESULT_NO_OUTPUT) {
                    ++headLost;
                    EXPECT_EQ(s.boxes[0].text, "new failed: replyhead");
                    EXPECT_FALSE(std::ifstream(out).good()) << "the output made without a head";
                } else {
                    EXPECT_EQ(result, 0);
                    EXPECT_EQ(readAll(out), body);
                }
            }
            ASSERT_LT(k, 100) << "the call never ran without a failing allocation";
        }
        // Composing a request and keeping a reply head both allocate.
        EXPECT_GT(refused, 0);
        EXPECT_EQ(headLost, 2) << "the head is grown once after its first block";
        EXPECT_EQ(requestLostRuns, 1) << "the request is copied once for the caller";
        if (c.lines) {
            EXPECT_NE(request.find("X-A: 1\r\n"), std::string::npos) << request;
        }
    }
    httpSetOptionText(QUODRA_OPTION_HEADERS, nullptr);
}

// The same with a reply that comes while the body is still going out: the
// socket takes the head and part of the body, then the page's head arrives
// (in two pieces, so that it is grown once) and stops the sending, and the
// rest of the page follows a write event that must send nothing. Each
// allocation fails in turn; what went out is the same every time, and a
// lost head leaves no output.
TEST_F(AllocSweep, EarlyReplyEndsHonestlyWhicheverAllocationFails) {
    const std::string in = writeFile("in.bin", std::string(3 * SEND_CHUNK, 'b'));
    const std::string out = dir() + "/out.bin";
    auto run = [&] {
        fake::reset();
        auto& s = fake::state();
        s.sendScript = {fake::takeAll(), fake::take(700), fake::fail(plat::kErrWouldBlock)};
        s.incoming = {{nullptr, WM_HOSTNOTIFY, 0, 1}, net(16), net(1), net(2), net(1)};
        s.recvScript = {fake::bytes("HTTP/1.0 413 Too Large\r\nX-Pad: " + std::string(300, 'a')),
                        fake::bytes(std::string(400, 'a') + "\r\nContent-Length: 4\r\n\r\npa"),
                        fake::fail(plat::kErrWouldBlock), fake::bytes("ge")};
        std::remove(out.c_str());
        return davPut("http://server/p", in.c_str(), out.c_str(), 0);
    };
    ASSERT_EQ(run(), 0);
    const std::string sent = fake::sent();
    ASSERT_EQ(readAll(out), "page");
    ASSERT_EQ(sent.find("\r\n\r\n") + 4 + 700, sent.size()) << "the body went on after the head";
    int refused = 0, headLost = 0;
    for (long k = 1; k < 100; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        const FailedRun f = runFailingAt(k, run, [] { forgetLastCall(); });
        const int result = f.result;
        const long made = f.made;
        const fake::State& s = fake::state();
        EXPECT_EQ(f.leftBehind, 0) << "heap blocks left behind";
        EXPECT_EQ(s.openInputs + s.openOutputs, 0) << "a file left open";
        EXPECT_EQ(fake::queued(), 0u) << "a message left queued";
        if (made < k) {
            EXPECT_EQ(result, 0);
            EXPECT_GT(refused, 0);
            EXPECT_EQ(headLost, 2) << "the head is grown once after its first block";
            return;
        }
        ASSERT_EQ(s.boxes.size(), 1u) << "each failure shows one box";
        if (result == RESULT_REFUSED) {
            ++refused;
            EXPECT_TRUE(s.sent.empty()) << "a refused call sent bytes";
            continue;
        }
        EXPECT_TRUE(s.sent == sent) << s.sent.size() << " bytes sent, not " << sent.size();
        if (result == RESULT_NO_OUTPUT) {
            ++headLost;
            EXPECT_EQ(s.boxes[0].text, "new failed: replyhead");
            EXPECT_FALSE(std::ifstream(out).good()) << "the output made without a head";
        } else {
            // Only keeping the head for the caller failed.
            EXPECT_EQ(result, 0);
            EXPECT_EQ(readAll(out), "page");
        }
    }
    FAIL() << "the call never ran without a failing allocation";
}

// A call of several exchanges: a PUT with credentials answered 401 with a
// Digest challenge, the answer redirected within the origin, the redirected
// PUT answered at once from what was learnt. Each allocation fails in turn.
// Honest endings: 0 with every request sent and the final body stored
// (keeping what answered the origin may fail: the call then answers from
// its own copy, with the same bytes); or the call stopped at an exchange's
// start or end with 1 (a piece of the next request, or of the challenge or
// the Location, could not be made) or 3 (a reply head could not be kept),
// what went out a whole prefix of the requests and the output never made.
TEST_F(AllocSweep, ACallOfSeveralExchangesEndsHonestlyWhicheverAllocationFails) {
    const std::string in = writeFile("in.bin", "body");
    const std::string out = dir() + "/out.bin";
    auto run = [&] {
        fake::reset();
        clearAuthCache();
        auto& s = fake::state();
        s.incoming = {{nullptr, WM_HOSTNOTIFY, 0, 1}, net(16), net(1),
                      {nullptr, WM_HOSTNOTIFY, 0, 1}, net(16), net(1),
                      {nullptr, WM_HOSTNOTIFY, 0, 1}, net(16), net(1), net(32)};
        s.recvScript = {fake::bytes("HTTP/1.1 401 No\r\nWWW-Authenticate: Digest realm=\"r\", "
                                    "nonce=\"n\", qop=\"auth\", opaque=\"o\"\r\n\r\n"),
                        fake::bytes("HTTP/1.1 307 Moved\r\nLocation: /b\r\n\r\n"),
                        fake::bytes("HTTP/1.1 201 Made\r\nContent-Length: 2\r\n\r\nok"),
                        fake::closed()};
        std::remove(out.c_str());
        return davPut("http://u:p@server/a", in.c_str(), out.c_str(), 0);
    };
    ASSERT_EQ(run(), 0);
    const std::string sent = fake::sent();
    ASSERT_EQ(readAll(out), "ok");
    // The three requests, each ending in the body.
    std::vector<size_t> ends;
    for (size_t at = sent.find("\r\n\r\nbody"); at != std::string::npos;
         at = sent.find("\r\n\r\nbody", at + 1))
        ends.push_back(at + 8);
    ASSERT_EQ(ends.size(), 3u) << sent;
    ASSERT_NE(sent.find("PUT /b HTTP/1.0\r\nAuthorization: Digest"), std::string::npos) << sent;
    int stopped = 0;
    for (long k = 1; k < 300; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        // What the cache keeps outlives the call: it is let go around the
        // count, as the last head is.
        const FailedRun f = runFailingAt(k, run, [] {
            clearAuthCache();
            forgetLastCall();
        });
        const int result = f.result;
        const long made = f.made;
        const fake::State& s = fake::state();
        EXPECT_EQ(f.leftBehind, 0) << "heap blocks left behind";
        EXPECT_EQ(liveHead(), nullptr) << "a record outlived its call";
        EXPECT_EQ(s.openInputs + s.openOutputs, 0) << "a file left open";
        EXPECT_EQ(s.createdWindows.size(), s.destroyedWindows.size()) << "a window left";
        EXPECT_EQ(fake::queued(), 0u) << "a message left queued";
        if (made < k) {
            EXPECT_EQ(result, 0);
            EXPECT_GT(stopped, 3) << "each exchange allocates";
            return;
        }
        ASSERT_EQ(s.boxes.size(), 1u) << "each failure shows one box";
        EXPECT_EQ(s.boxes[0].text.rfind("new failed: ", 0), 0u) << s.boxes[0].text;
        if (result == 0) {
            EXPECT_TRUE(s.sent == sent) << "a changed request went out:\n" << s.sent;
            EXPECT_EQ(readAll(out), "ok");
            continue;
        }
        ++stopped;
        EXPECT_TRUE(result == RESULT_REFUSED || result == RESULT_NO_OUTPUT) << result;
        bool prefix = s.sent.empty();
        for (size_t end : ends) prefix = prefix || s.sent == sent.substr(0, end);
        EXPECT_TRUE(prefix) << "not a whole prefix of the requests:\n" << s.sent;
        EXPECT_FALSE(std::ifstream(out).good()) << "a call that stopped made its output";
    }
    FAIL() << "the call never ran without a failing allocation";
}

}  // namespace

// With the connection kept: a chunked reply whose head is grown once, each
// allocation failing in turn. A call ends as honestly as without, and its
// connection is kept only when the call ended with 0.
TEST_F(AllocSweep, KeptConnectionCallEndsHonestlyWhicheverAllocationFails) {
    const std::string in = writeFile("in.bin", "body");
    const std::string out = dir() + "/out.bin";
    // The option goes back off however the test ends.
    struct KeepAliveOn {
        KeepAliveOn() { httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1); }
        ~KeepAliveOn() {
            httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 0);
            closeConnections();
        }
    } on;
    // The PUT's body waits for the interim answer, which comes alone.
    auto run = [&](const std::function<int()>& call) {
        fake::reset();
        auto& s = fake::state();
        s.incoming = {{nullptr, WM_HOSTNOTIFY, 0, 1}, net(16), net(1)};
        s.recvScript = {fake::bytes("HTTP/1.1 100 Continue\r\n\r\n"),
                        fake::bytes("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(300, 'a')),
                        fake::bytes(std::string(400, 'a') +
                                    "\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n")};
        std::remove(out.c_str());
        return call();
    };
    const struct {
        const char* name;
        std::function<int()> call;
    } calls[] = {
        {"httpGet", [&] { return httpGet("http://server/a", out.c_str(), 0); }},
        {"davPut", [&] { return davPut("http://server/p", in.c_str(), out.c_str(), 0); }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(run(c.call), 0);
        const std::string request = fake::sent();
        ASSERT_EQ(readAll(out), "ok");
        ASSERT_EQ(closeConnections(), 1);
        int refused = 0;
        for (long k = 1; k < 100; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k));
            const FailedRun f = runFailingAt(
                k, [&] { return run(c.call); }, [] { forgetLastCall(); });
            const int result = f.result;
            const long made = f.made;
            const fake::State& s = fake::state();
            EXPECT_EQ(f.leftBehind, 0) << "heap blocks left behind";
            EXPECT_EQ(s.openInputs + s.openOutputs, 0) << "a file left open";
            EXPECT_EQ(fake::queued(), 0u) << "a message left queued";
            int kept = closeConnections();
            if (made < k) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(s.sent, request);
                EXPECT_GT(refused, 0);
                break;
            }
            if (result == RESULT_REFUSED) {
                ++refused;
                EXPECT_EQ(s.sent, "");
            } else if (result == RESULT_NO_OUTPUT) {
                // The interim answer's head lost holds the body back: the
                // head alone went, asking for a body the server never gets.
                const std::string head = request.substr(0, request.find("\r\n\r\n") + 4);
                EXPECT_TRUE(s.sent == request || s.sent == head)
                    << "a changed or partial request went out: " << s.sent;
                EXPECT_FALSE(std::ifstream(out).good()) << "the output made without a head";
            } else {
                // A failure the call survives (what it keeps for its caller).
                EXPECT_EQ(result, 0);
                EXPECT_EQ(s.sent, request);
                EXPECT_EQ(readAll(out), "ok");
            }
            if (result != 0) {
                EXPECT_EQ(kept, 0) << "a connection kept after a failed call";
            }
            EXPECT_EQ(s.openSockets, 0);
        }
    }
}
