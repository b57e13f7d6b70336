// What whole calls leave for the caller to read (status, head, the error
// behind the result) against lighttpd, Apache and the scripted peer, with
// threads that each read their own; and the options as a process sets them
// while calls run.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "files.h"
#include "peer/peer.h"
#include "platform/posix/test_hooks.h"
#include "quodra.h"
#include "server_test.h"
#include "servers.h"

namespace {

using namespace e2e;

std::string lastHead() {
    int n = httpLastHead(nullptr, 0);
    std::string head(static_cast<size_t>(n) + 1, '\0');
    httpLastHead(&head[0], n + 1);
    head.resize(static_cast<size_t>(n));
    return head;
}

// The status line of head matches status, and the head ends with its blank
// line.
void expectWellFormed(const std::string& head, int status) {
    std::smatch m;
    static const std::regex statusLine("^HTTP/1\\.[01] (\\d{3}) [^\r\n]*\r\n");
    ASSERT_TRUE(std::regex_search(head, m, statusLine)) << head;
    EXPECT_EQ(std::stoi(m[1]), status);
    ASSERT_GE(head.size(), 4u);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << head;
}

struct RealServer {
    const char* name;
    bool (*start)(Server&, const std::string& docroot, const std::string& workdir,
                  std::string& why);
    bool (*installed)(std::string& why);  // null: always there
};
void PrintTo(const RealServer& s, std::ostream* os) { *os << s.name; }

class LastCallServers : public ::testing::TestWithParam<RealServer> {
protected:
    void SetUp() override {
        work = makeTempDir("lastcall");
        docroot = work + "/docroot";
        makeDir(docroot);
        std::string why;
        if (GetParam().installed && !GetParam().installed(why)) GTEST_SKIP() << why;
        ASSERT_TRUE(GetParam().start(server, docroot, work, why)) << why;
    }
    void TearDown() override {
        stopServer(server);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    std::string url(const std::string& path) const { return urlFor(server.port, path); }
    Server server;
    std::string work, docroot;
};

// The answers the ten calls cannot give on their own: the status of a
// stored page and the heads of the replies that have no body.
TEST_P(LastCallServers, StatusAndHeadOfEachKindOfReply) {
    const std::string data = patternBytes(3000, 21);
    writeFile(docroot + "/file.bin", data);
    makeDir(docroot + "/col");
    const std::string out = work + "/out";
    const std::string length = "\r\nContent-Length: " + std::to_string(data.size()) + "\r\n";
    struct Case {
        const char* name;
        std::function<int()> call;
        int status;
        std::regex inHead;  // a header line the head must hold
    };
    const std::vector<Case> cases = {
        {"GET of a file", [&] { return httpGet(url("/file.bin").c_str(), out.c_str(), 0); },
         200, std::regex(length)},
        {"GET of nothing: a stored 404 page",
         [&] { return httpGet(url("/missing").c_str(), out.c_str(), 0); }, 404,
         std::regex("\r\nContent-Type: ")},
        {"HEAD: a head-only reply",
         [&] { return httpHead(url("/file.bin").c_str(), out.c_str(), 0); }, 200,
         std::regex(length)},
        {"PROPFIND", [&] { return davPropfind(url("/col/").c_str(), nullptr, out.c_str(), 0, 0); },
         207, std::regex("\r\nContent-Type: (application|text)/xml")},
        {"OPTIONS", [&] { return davOptions(url("/").c_str(), out.c_str(), 0); }, 200,
         std::regex("\r\nDAV: [^\r]*1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(httpLastStatus(), c.status);
        std::string head = lastHead();
        expectWellFormed(head, c.status);
        EXPECT_TRUE(std::regex_search(head, c.inHead)) << head;
        EXPECT_EQ(httpLastError(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, LastCallServers,
                         ::testing::Values(RealServer{"lighttpd", startLighttpd, nullptr},
                                           RealServer{"apache", startApache, apacheInstalled}),
                         [](const ::testing::TestParamInfo<RealServer>& info) {
                             return std::string(info.param.name);
                         });

class LastCallPeer : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("lastpeer");
        out = work + "/out";
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
        peer::stopPeer(p);
        if (!HasFailure()) removeTree(work);
    }
    int get(const peer::Script& script) {
        std::string why;
        if (!peer::startPeer(p, script, 0, 0, &why)) {
            ADD_FAILURE() << why;
            return -1;
        }
        return httpGet(urlFor(p.port, "/r").c_str(), out.c_str(), 0);
    }
    peer::Peer p;
    std::string work, out;
};

TEST_F(LastCallPeer, HeadIsGivenByteForByte) {
    const std::string head =
        "HTTP/1.0 409 Conflict\r\nX-Case: MiXeD\r\ncontent-length: 3\r\nX-Empty:\r\n\r\n";
    EXPECT_EQ(get({peer::readHead(), peer::send(head + "abc"), peer::close()}), 0);
    EXPECT_EQ(fileBytes(out), "abc");
    EXPECT_EQ(httpLastStatus(), 409);
    EXPECT_EQ(lastHead(), head);
    EXPECT_EQ(httpLastError(), 0);
}

// The endings that leave no head, or a head and an error.
TEST_F(LastCallPeer, EndingsLeaveTheirErrorAndWhatHeadThereWas) {
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n";
    EXPECT_EQ(get({peer::readHead(), peer::send(head + "half"), peer::pause(300), peer::reset()}),
              10054);
    EXPECT_EQ(httpLastStatus(), 200);
    EXPECT_EQ(lastHead(), head);
    EXPECT_EQ(httpLastError(), 10054);
    peer::stopPeer(p);

    // A peer that never answers: no head at all.
    httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 1);
    peer::Peer silent;
    std::string why;
    ASSERT_TRUE(peer::startPeer(silent, {peer::readHead(), peer::hold(20000), peer::close()}, 0,
                                0, &why)) << why;
    EXPECT_EQ(httpGet(urlFor(silent.port, "/r").c_str(), out.c_str(), 0), 10060);
    peer::stopPeer(silent);
    EXPECT_EQ(httpLastStatus(), 0);
    EXPECT_EQ(httpLastHead(nullptr, 0), 0);
    EXPECT_EQ(httpLastError(), 10060);

    // Nobody listening: result 1, and the refusal behind it.
    EXPECT_EQ(httpGet(urlFor(freePort(), "/").c_str(), out.c_str(), 0), QUODRA_REFUSED);
    EXPECT_EQ(httpLastStatus(), 0);
    EXPECT_EQ(httpLastHead(nullptr, 0), 0);
    EXPECT_EQ(httpLastError(), QUODRA_WSA_CONNREFUSED);

    // A name that is never registered; where no name server answers at all
    // the lookup says "try again" instead.
    int r = httpGet("http://quodra-no-such-host.invalid/", out.c_str(), 0);
    EXPECT_TRUE(r == QUODRA_WSA_HOST_NOT_FOUND || r == QUODRA_WSA_TRY_AGAIN) << r;
    EXPECT_EQ(httpLastError(), r);
    EXPECT_EQ(httpLastStatus(), 0);
}

// Threads calling at once each read their own last call, never another's.
TEST(LastCallThreads, EachThreadReadsItsOwnLastCall) {
    signal(SIGPIPE, SIG_IGN);
    std::string work = makeTempDir("lastthreads");
    std::string docroot = work + "/docroot";
    makeDir(docroot);
    makeDir(docroot + "/col");
    writeFile(docroot + "/file.bin", patternBytes(100000, 22));
    Server dav;
    std::string why;
    ASSERT_TRUE(startLighttpd(dav, docroot, work, why)) << why;

    struct Kind {
        int status;
        std::function<int(const std::string& out)> call;
    };
    const std::string file = urlFor(dav.port, "/file.bin");
    const std::string missing = urlFor(dav.port, "/missing");
    const std::string col = urlFor(dav.port, "/col/");
    const std::vector<Kind> kinds = {
        {200, [&](const std::string& o) { return httpGet(file.c_str(), o.c_str(), 0); }},
        {404, [&](const std::string& o) { return httpGet(missing.c_str(), o.c_str(), 0); }},
        {207, [&](const std::string& o) { return davPropfind(col.c_str(), nullptr, o.c_str(), 1, 0); }},
        {405, [&](const std::string& o) { return davMkcol(col.c_str(), o.c_str(), 0); }},
    };
    const int CALLS = 8;  // per thread
    std::atomic<int> ready{0};
    std::vector<std::vector<std::string>> faults(kinds.size());
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kinds.size(); ++t)
        threads.emplace_back([&, t] {
            // Start together, so that the calls overlap.
            ++ready;
            for (int spin = 0; ready.load() < static_cast<int>(kinds.size()) && spin < 5000; ++spin)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::string out = work + "/out-" + std::to_string(t);
            for (int k = 0; k < CALLS; ++k) {
                int r = kinds[t].call(out);
                // Other threads' calls end meanwhile; none may change what
                // this thread reads.
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                int status = httpLastStatus();
                std::string head = lastHead();
                std::string first = "HTTP/1.0 " + std::to_string(kinds[t].status) + " ";
                std::string first11 = "HTTP/1.1 " + std::to_string(kinds[t].status) + " ";
                if (r != 0 || status != kinds[t].status ||
                    (head.rfind(first, 0) != 0 && head.rfind(first11, 0) != 0))
                    faults[t].push_back("call " + std::to_string(k) + ": result " +
                                        std::to_string(r) + ", status " +
                                        std::to_string(status) + ", head " +
                                        head.substr(0, head.find('\r')));
            }
        });
    for (std::thread& th : threads) th.join();
    stopServer(dav);
    for (size_t t = 0; t < kinds.size(); ++t)
        for (const std::string& f : faults[t])
            ADD_FAILURE() << "thread expecting " << kinds[t].status << ": " << f;
    if (!::testing::Test::HasFailure()) removeTree(work);
}

// With the boxes off an unknown host and a refused connection say nothing
// (on POSIX a box is a line on standard error); turned back on, the lookup
// failure shows again.
TEST(Options, MessageBoxesOffShowNothing) {
    std::vector<std::string> boxes;
    plat::posix::hooks::captureMessageBoxes(&boxes);
    std::string work = makeTempDir("quiet");
    std::string out = work + "/out";
    const std::string unknown = "http://quodra-no-such-host.invalid/";

    EXPECT_EQ(httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0), 1);
    EXPECT_NE(httpGet(unknown.c_str(), out.c_str(), 0), 0);
    EXPECT_EQ(httpGet(urlFor(freePort(), "/").c_str(), out.c_str(), 0), QUODRA_REFUSED);
    EXPECT_EQ(httpLastError(), QUODRA_WSA_CONNREFUSED);
    EXPECT_TRUE(boxes.empty()) << boxes.front();

    EXPECT_EQ(httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1), 0);
    int r = httpGet(unknown.c_str(), out.c_str(), 0);
    plat::posix::hooks::captureMessageBoxes(nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "quodra-no-such-host.invalid: Could not get IP address (" +
                            std::to_string(r) + ")");
    removeTree(work);
}

// The limit set on another thread while a call waits does not reach that
// call: it ends by the limit it started with.
TEST(Options, CallKeepsTheIdleLimitItStartedWith) {
    signal(SIGPIPE, SIG_IGN);
    std::string work = makeTempDir("keepidle");
    peer::Peer p;
    std::string why;
    // Silent for 8 s, then an orderly close: a call that took the raised
    // limit would end with 4 when the close comes.
    ASSERT_TRUE(peer::startPeer(p, {peer::readHead(), peer::hold(8000), peer::close()}, 0, 0,
                                &why)) << why;
    ASSERT_EQ(httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 1), 300);
    int result = -1;
    std::thread caller([&] {
        result = httpGet(urlFor(p.port, "/r").c_str(), (work + "/out").c_str(), 0);
    });
    // Raise the limit once the request has arrived, while the call waits.
    for (int i = 0; i < 500 && peer::received(p).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300), 1);
    caller.join();
    peer::stopPeer(p);
    EXPECT_EQ(result, QUODRA_WSA_TIMEDOUT);
    removeTree(work);
}

}  // namespace
