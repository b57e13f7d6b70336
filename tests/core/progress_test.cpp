// What a host sees while a call runs, played on the fake platform and its
// clock: the progress callback's counts against known sizes and its rate,
// a cancel at each point of a call, a callback that pumps messages or makes
// a call of its own, the activity window's counts, and the call's time
// limit.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "api/api.h"
#include "exchange_fixture.h"

using namespace quodra;

namespace {

// One report the callback heard, with the fake clock's tick at the time.
struct Report {
    double sent, sendTotal, received, receiveTotal;
    uint32_t tick;
};

// What the test's callback hears and answers.
struct Host {
    std::vector<Report> reports;
    // Asked with the number of the report (0 = the first) and what it says:
    // non-zero cancels. Null: never.
    std::function<int(size_t, const Report&)> answer;
};

int QUODRA_API hear(void* context, double sent, double sendTotal, double received,
                    double receiveTotal) {
    Host& h = *static_cast<Host*>(context);
    Report r{sent, sendTotal, received, receiveTotal, fake::state().tick};
    h.reports.push_back(r);
    return h.answer ? h.answer(h.reports.size() - 1, r) : 0;
}

const fake::Posted progressTick{nullptr, 0x113, PROGRESS_TIMER, 0};
const fake::Posted limitTick{nullptr, 0x113, IDLE_TIMER, 0};

class Progress : public Exchange {
protected:
    void SetUp() override {
        Exchange::SetUp();
        httpSetProgress(hear, &host);
        httpSetOption(QUODRA_OPTION_TIME_LIMIT, 0);
        // Each progress tick is a tenth of a second later.
        fake::state().timerAdvance = PROGRESS_MS;
    }
    void TearDown() override {
        httpSetProgress(nullptr, nullptr);
        httpSetOption(QUODRA_OPTION_TIME_LIMIT, 0);
        const auto& s = fake::state();
        EXPECT_EQ(s.liveTimers, 0) << "a timer left";
        EXPECT_EQ(fake::queued(), 0u) << "a message left queued";
        Exchange::TearDown();
    }
    // What the reports said, as "sent/sendTotal received/receiveTotal".
    std::vector<std::string> said() const {
        std::vector<std::string> out;
        for (const Report& r : host.reports)
            out.push_back(std::to_string(static_cast<long long>(r.sent)) + "/" +
                          std::to_string(static_cast<long long>(r.sendTotal)) + " " +
                          std::to_string(static_cast<long long>(r.received)) + "/" +
                          std::to_string(static_cast<long long>(r.receiveTotal)));
        return out;
    }
    Host host;
};

// The counts are the body's, against the body file's size and the reply's
// Content-Length (-1 until the head has come, and for a reply without one);
// the last report comes when the call has ended.
TEST_F(Progress, CountsGrowAgainstTheKnownSizes) {
    struct Case {
        const char* name;
        std::function<int(const std::string& in, const std::string& out)> call;
        std::vector<fake::Step> sends;    // the socket's takes
        std::deque<fake::Posted> events;  // after the lookup and the connect
        std::vector<fake::Step> replies;  // what the reads get
        std::vector<std::string> said;
    };
    const std::string form = "hello";  // the form's file; its envelope is counted too
    const Case cases[] = {
        {"PUT of 300 bytes, taken 100 at a time",
         [](const std::string& i, const std::string& o) {
             return davPut("http://server/p", i.c_str(), o.c_str(), 0);
         },
         {fake::takeAll(), fake::take(100), fake::fail(10035), fake::take(100), fake::fail(10035)},
         {progressTick, net(2), progressTick, net(2), progressTick, net(1)},
         {fake::bytes("HTTP/1.0 201 Created\r\nContent-Length: 5\r\n\r\nstore")},
         // The first report comes after the connect's event, which sent the
         // head and the first 100 bytes.
         {"100/300 0/-1", "100/300 0/-1", "200/300 0/-1", "300/300 0/-1", "300/300 5/5"}},
        {"GET with a length, in two pieces",
         [](const std::string&, const std::string& o) {
             return httpGet("http://server/g", o.c_str(), 0);
         },
         {},
         {progressTick, net(1), progressTick, net(1)},
         {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nfour"), fake::fail(10035),
          fake::bytes("sixsix")},
         {"0/0 0/-1", "0/0 0/-1", "0/0 4/10", "0/0 10/10"}},
        {"GET without a length",
         [](const std::string&, const std::string& o) {
             return httpGet("http://server/g", o.c_str(), 0);
         },
         {},
         {progressTick, net(1), progressTick, net(32)},
         {fake::bytes("HTTP/1.0 200 OK\r\n\r\nfour"), fake::fail(10035), fake::bytes("more"),
          fake::closed()},
         {"0/0 0/-1", "0/0 0/-1", "0/0 4/-1", "0/0 8/-1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        host = Host{};
        auto& s = fake::state();
        s.timerAdvance = PROGRESS_MS;
        writeInput(std::string(300, 'b'));
        s.sendScript.assign(c.sends.begin(), c.sends.end());
        s.recvScript.assign(c.replies.begin(), c.replies.end());
        s.incoming = {hostDone(), net(16)};
        s.incoming.insert(s.incoming.end(), c.events.begin(), c.events.end());
        EXPECT_EQ(c.call(in, out), 0);
        EXPECT_EQ(said(), c.said);
    }

    // The form's total is its envelope and its file, and all of it is sent.
    fake::reset();
    host = Host{};
    writeInput(form);
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_EQ(httpPostFile("http://server/up", in.c_str(), out.c_str(), 0), 0);
    const std::string& sent = fake::sent();
    const double body = static_cast<double>(sent.size() - (sent.find("\r\n\r\n") + 4));
    ASSERT_FALSE(host.reports.empty());
    const Report& last = host.reports.back();
    EXPECT_EQ(last.sendTotal, body);
    EXPECT_GT(body, static_cast<double>(form.size()));
    EXPECT_EQ(last.sent, body);
    EXPECT_EQ(last.received, 2);
    EXPECT_EQ(last.receiveTotal, 2);
}

// About ten reports a second however often the events come: on a clock that
// moves 20 ms per tick, a second of ticks and socket events between them
// gives ten reports at least 100 ms apart, and the last one.
TEST_F(Progress, AtMostTenReportsASecond) {
    auto& s = fake::state();
    s.timerAdvance = 20;
    s.incoming = {hostDone(), net(16)};
    std::string body;
    for (int i = 0; i < 50; ++i) {
        s.incoming.push_back(progressTick);
        s.incoming.push_back(net(1));
        s.recvScript.push_back(fake::bytes(i == 0 ? "HTTP/1.0 200 OK\r\n\r\nx" : "x"));
        s.recvScript.push_back(fake::fail(10035));
        body += "x";
    }
    s.incoming.push_back(net(32));
    s.recvScript.push_back(fake::closed());
    ASSERT_EQ(httpGet("http://server/g", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), body);
    // 50 ticks of 20 ms: reports at the connect, then every 100 ms up to
    // 1,000, then the last at the end.
    ASSERT_EQ(host.reports.size(), 12u);
    for (size_t i = 1; i + 1 < host.reports.size(); ++i)
        EXPECT_GE(host.reports[i].tick - host.reports[i - 1].tick, PROGRESS_MS) << "report " << i;
    EXPECT_EQ(host.reports.back().received, 50);
}

// A non-zero answer stops the call within the event it was told in, with
// 14: everything closed, no output made before a head, no further event
// taken and no message left queued.
TEST_F(Progress, CancelEndsTheCallAtOnce) {
    struct Case {
        const char* when;
        size_t report;             // the report that answers non-zero
        std::deque<fake::Posted> events;
        std::vector<fake::Step> replies;
        bool outputMade;           // the head had come
        size_t left;               // events never taken
        std::string why;
    };
    const Case cases[] = {
        {"at the first report, while the host is looked up", 0,
         {progressTick, hostDone(), net(16), net(1)}, {fake::bytes("HTTP/1.0 200 OK\r\n\r\nx")},
         false, 3, "the progress callback cancelled the call"},
        {"in the middle of the body", 2,
         {hostDone(), net(16), progressTick, net(1), progressTick, net(1), net(32)},
         {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhalf"), fake::fail(10035),
          fake::bytes("tail!!"), fake::closed()},
         true, 2, "the progress callback cancelled the call"},
        // The whole body has come, but without a length only the peer's end
        // says so: the last report before the end can still stop it.
        {"at the last report before the end", 2,
         {hostDone(), net(16), progressTick, net(1), progressTick, net(32)},
         {fake::bytes("HTTP/1.0 200 OK\r\n\r\nall"), fake::fail(10035), fake::closed()},
         true, 1, "the progress callback cancelled the call"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when);
        fake::reset();
        host = Host{};
        host.answer = [&](size_t i, const Report&) { return i == c.report ? 1 : 0; };
        auto& s = fake::state();
        s.timerAdvance = PROGRESS_MS;
        s.incoming = c.events;
        s.recvScript.assign(c.replies.begin(), c.replies.end());
        EXPECT_EQ(httpGet("http://server/g", out.c_str(), 0), QUODRA_CANCELLED);
        EXPECT_EQ(s.incoming.size(), c.left) << "events taken after the cancel";
        EXPECT_EQ(exists(out), c.outputMade);
        EXPECT_EQ(s.openSockets, 0);
        EXPECT_EQ(s.openOutputs, 0);
        EXPECT_EQ(s.liveTimers, 0);
        EXPECT_EQ(fake::queued(), 0u);
        EXPECT_EQ(quits(), 1);
        EXPECT_EQ(lastErrorText(), c.why);
        EXPECT_EQ(httpLastError(), 0);
        // The call's last report follows its end; nothing comes after it.
        EXPECT_EQ(host.reports.size(), c.report + 2);
        std::remove(out.c_str());
    }
}

// The last report comes once the call has ended: its answer changes nothing.
TEST_F(Progress, TheAnswerToTheLastReportChangesNothing) {
    // Only the last report has the whole body to tell.
    host.answer = [](size_t, const Report& r) { return r.received == 2 ? 1 : 0; };
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(httpGet("http://server/g", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "ok");
    EXPECT_EQ(lastErrorText(), "");
    ASSERT_FALSE(host.reports.empty());
    EXPECT_EQ(host.reports.back().received, 2);
}

// A callback may pump its thread's messages (a form's Cancel button needs
// that): the exchange's events then run inside it. When they end the
// exchange, its quit is posted only once the callback has returned, so
// that no loop of the host's takes it; a report asked for meanwhile waits.
TEST_F(Progress, ACallbackThatPumpsMessagesTakesNoQuit) {
    auto& s = fake::state();
    s.incoming = {hostDone(), net(16), progressTick, net(1), net(32)};
    s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody")};
    int quitsTaken = 0, pumped = 0;
    host.answer = [&](size_t i, const Report&) {
        if (i > 0) return 0;
        plat::Msg m;
        // The host's own loop: everything that comes, as DoEvents takes it.
        while (!fake::state().incoming.empty() || fake::queued() > 0) {
            int got = plat::GetMessageA(&m, nullptr, 0, 0);
            if (got == 0) ++quitsTaken;
            if (got <= 0) break;
            plat::DispatchMessageA(&m);
            ++pumped;
        }
        return 0;
    };
    EXPECT_EQ(httpGet("http://server/g", out.c_str(), 0), 0);
    EXPECT_EQ(readAll(out), "body");
    EXPECT_EQ(quitsTaken, 0) << "the host's loop took the call's quit";
    EXPECT_GE(pumped, 1);
    EXPECT_EQ(quits(), 1);
    // The report under way and the last one; none ran inside the first.
    EXPECT_EQ(host.reports.size(), 2u);
}

// A call made from inside the callback would run a loop of its own inside
// the running call's: it is refused with 1, makes nothing and says why; the
// running call goes on.
TEST_F(Progress, ACallFromInsideTheCallbackIsRefused) {
    int nested = -1;
    std::string why;
    size_t windows = 0;
    host.answer = [&](size_t i, const Report&) {
        if (i > 0) return 0;
        windows = fake::state().createdWindows.size();
        nested = httpGet("http://other/x", (dir + "/nested").c_str(), 0);
        why = lastErrorText();
        windows = fake::state().createdWindows.size() - windows;
        return 0;
    };
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(httpGet("http://server/g", out.c_str(), 0), 0);
    EXPECT_EQ(nested, QUODRA_REFUSED);
    EXPECT_EQ(why, "the call was refused: it was made from inside a progress callback");
    EXPECT_EQ(windows, 0u);
    EXPECT_FALSE(exists(dir + "/nested"));
    EXPECT_EQ(fake::state().lookups.size(), 1u);
    EXPECT_EQ(readAll(out), "ok");
    // The outer call's own state, not the refusal's, is what it leaves.
    EXPECT_EQ(httpLastStatus(), 200);
    EXPECT_EQ(lastErrorText(), "");
}

// A shown window is fed the same counts, at the same rate, and the final
// ones before it goes; a hidden one is fed nothing.
TEST_F(Progress, AShownWindowIsFedTheSameCounts) {
    httpSetProgress(nullptr, nullptr);
    auto& s = fake::state();
    s.incoming = {hostDone(), net(16), progressTick, net(1), progressTick, net(1)};
    s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nabc"),
                    fake::fail(10035), fake::bytes("def")};
    EXPECT_EQ(httpGet("http://server/g", out.c_str(), 1), 0);
    ASSERT_GE(s.activity.size(), 2u);
    const fake::Activity& first = s.activity.front();
    EXPECT_EQ(first.hwnd, s.createdWindows[0]);
    const fake::Activity& last = s.activity.back();
    EXPECT_EQ(last.received, 6);
    EXPECT_EQ(last.receiveTotal, 6);
    EXPECT_EQ(last.sendTotal, 0);
    bool sawHalf = false;
    for (const fake::Activity& a : s.activity) sawHalf = sawHalf || (a.received == 3 && a.receiveTotal == 6);
    EXPECT_TRUE(sawHalf);
    // Without a callback or a shown window no progress timer runs at all.
    fake::reset();
    scriptReply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(httpGet("http://server/g", out.c_str(), 0), 0);
    EXPECT_TRUE(fake::state().activity.empty());
    for (const auto& set : fake::state().timerSets) EXPECT_NE(set.first, PROGRESS_TIMER);
}

// The time limit counts the whole call, progress or not, and ends it with
// 15, everything closed, at the first check past it; the line says what the
// call was doing then.
TEST_F(Progress, TimeLimitEndsTheCallWhateverItsProgress) {
    httpSetProgress(nullptr, nullptr);
    struct Case {
        const char* when;
        std::deque<fake::Posted> events;
        std::string why;
        size_t left;
    };
    const Case cases[] = {
        {"while the host is looked up", {limitTick, limitTick, limitTick, limitTick, hostDone()},
         "the call took longer than its time limit of 1 s, while looking up host \"server\"", 1},
        {"while the reply trickles in",
         {hostDone(), net(16), net(1), limitTick, net(1), limitTick, net(1), limitTick, net(1),
          limitTick, net(1), net(32)},
         "the call took longer than its time limit of 1 s, while receiving the reply from "
         "127.0.0.1:80",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when);
        fake::reset();
        ASSERT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, 1), 0);
        auto& s = fake::state();
        s.timerAdvance = 300;
        s.incoming = c.events;
        s.recvScript = {fake::bytes("HTTP/1.0 200 OK\r\n\r\n"), fake::fail(10035)};
        for (int i = 0; i < 4; ++i) {
            s.recvScript.push_back(fake::bytes("."));
            s.recvScript.push_back(fake::fail(10035));
        }
        EXPECT_EQ(httpGet("http://server/g", out.c_str(), 0), QUODRA_TIME_LIMIT);
        EXPECT_EQ(s.incoming.size(), c.left) << "ended at the wrong check";
        EXPECT_EQ(lastErrorText(), c.why);
        // Checked four times in the limit, the idle limit's own checks kept.
        bool set = false;
        for (const auto& t : s.timerSets) set = set || (t.first == IDLE_TIMER && t.second == 250u);
        EXPECT_TRUE(set);
        EXPECT_EQ(s.openSockets, 0);
        EXPECT_EQ(s.liveTimers, 0);
        EXPECT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, 0), 1);
        std::remove(out.c_str());
    }
    // Refused out of range, as the idle limit is.
    EXPECT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, -1), -1);
    EXPECT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, 2147484), -1);
    EXPECT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, 2147483), 0);
    EXPECT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, 0), 2147483);
}

}  // namespace
