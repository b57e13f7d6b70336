// Kept connections against real servers: lighttpd keeping connections and
// logging the client's port of each request (one port, one connection), over
// http and https, from one thread and from two; a connection the server
// closed while it was kept; and Apache's chunked answers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "certs.h"
#include "files.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

struct Logged {
    std::string port, method, path, status;
};

class KeptConnections : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("keep");
        docroot = work + "/docroot";
        makeDir(docroot);
        writeFile(docroot + "/a.txt", "alpha");
        writeFile(docroot + "/c.txt", "gamma");
        writeFile(docroot + "/b.bin", patternBytes(200 * 1024, 3));
        in = work + "/in.bin";
        writeFile(in, patternBytes(70 * 1024, 9));
        out = work + "/out.bin";
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 0);
        httpCloseConnections();
        stopServer(server);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    void start(const std::string& certs = "", bool shortIdle = false) {
        std::string why;
        ASSERT_TRUE(startLighttpdKeepAlive(server, docroot, work, certs, shortIdle, why)) << why;
    }
    // The access log's lines, in the order the requests ended. lighttpd
    // holds them back a while: the server is stopped first, which writes
    // them out.
    std::vector<Logged> logged() {
        // Given its time: a server still closing connections when the
        // common stop's short wait ends is killed, its log lost.
        if (server.pid > 0) {
            kill(server.pid, SIGTERM);
            for (int i = 0; i < 1000; ++i) {
                if (waitpid(server.pid, nullptr, WNOHANG) == server.pid) {
                    server.pid = -1;
                    break;
                }
                usleep(10000);
            }
        }
        stopServer(server);
        std::string text;
        readFile(work + "/access.log", text);
        std::vector<Logged> lines;
        std::istringstream all(text);
        Logged l;
        while (all >> l.port >> l.method >> l.path >> l.status) lines.push_back(l);
        return lines;
    }
    static std::set<std::string> portsOf(const std::vector<Logged>& lines, size_t from,
                                         size_t to) {
        std::set<std::string> set;
        for (size_t i = from; i < to && i < lines.size(); ++i) set.insert(lines[i].port);
        return set;
    }
    // A run of calls of every kind, each checked.
    void runOfCalls(const std::string& base) {
        const std::string b = readBack(docroot + "/b.bin");
        ASSERT_EQ(httpGet((base + "/a.txt").c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(readBack(out), "alpha");
        ASSERT_EQ(httpHead((base + "/b.bin").c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(httpLastStatus(), 200);
        ASSERT_EQ(davPut((base + "/up.bin").c_str(), in.c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(readBack(docroot + "/up.bin"), readBack(in));
        ASSERT_EQ(httpGet((base + "/missing").c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(httpLastStatus(), 404);
        ASSERT_EQ(davPropfind((base + "/").c_str(), nullptr, out.c_str(), 1, 0), 0);
        EXPECT_EQ(httpLastStatus(), 207);
        ASSERT_EQ(httpGet((base + "/b.bin").c_str(), out.c_str(), 0), 0);
        EXPECT_EQ(readBack(out), b);
    }
    static std::string readBack(const std::string& path) {
        std::string text;
        readFile(path, text);
        return text;
    }
    Server server;
    std::string work, docroot, in, out;
};

TEST_F(KeptConnections, RunOfCallsTakesOneConnection) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string base = urlFor(server.port, "");
    // Without the option each call has its own: the log tells them apart.
    ASSERT_NO_FATAL_FAILURE(runOfCalls(base));
    EXPECT_EQ(httpCloseConnections(), 0);
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    ASSERT_NO_FATAL_FAILURE(runOfCalls(base));
    ASSERT_NO_FATAL_FAILURE(runOfCalls(base));
    std::vector<Logged> lines = logged();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(portsOf(lines, 0, 6).size(), 6u);
    EXPECT_EQ(portsOf(lines, 6, 18).size(), 1u) << "twelve kept calls took several connections";
    EXPECT_EQ(portsOf(lines, 0, 18).size(), 7u);
    EXPECT_EQ(httpCloseConnections(), 1);
    EXPECT_EQ(httpCloseConnections(), 0);
}

TEST_F(KeptConnections, RunOfHttpsCallsTakesOneConnection) {
    std::string why;
    const std::string certs = testCerts(&why);
    ASSERT_FALSE(certs.empty()) << why;
    ASSERT_NO_FATAL_FAILURE(start(certs));
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    ASSERT_NO_FATAL_FAILURE(runOfCalls(secureUrlFor(server.port, "")));
    // Another name for the server is another origin, with a handshake of
    // its own.
    const std::string other = "https://localhost:" + std::to_string(server.port) + "/a.txt";
    ASSERT_EQ(httpGet(other.c_str(), out.c_str(), 0), 0);
    std::vector<Logged> lines = logged();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(portsOf(lines, 0, 6).size(), 1u);
    EXPECT_EQ(portsOf(lines, 0, 7).size(), 2u);
    EXPECT_EQ(httpCloseConnections(), 2);
}

// Each thread keeps its own: two threads' calls, interleaved, take two
// connections, one per thread, and neither uses the other's.
TEST_F(KeptConnections, ThreadsNeverShareOne) {
    ASSERT_NO_FATAL_FAILURE(start());
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    const std::string base = urlFor(server.port, "");
    int failures[2] = {0, 0};
    int closed[2] = {-1, -1};
    // Each thread asks for a file of its own, which names its requests in
    // the log.
    auto run = [&](int t) {
        std::string mine = work + "/out" + std::to_string(t);
        std::string url = base + (t == 0 ? "/a.txt" : "/c.txt");
        for (int i = 0; i < 20; ++i)
            if (httpGet(url.c_str(), mine.c_str(), 0) != 0) ++failures[t];
        closed[t] = httpCloseConnections();
    };
    std::thread first(run, 0), second(run, 1);
    first.join();
    second.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
    EXPECT_EQ(closed[0], 1);
    EXPECT_EQ(closed[1], 1);
    std::map<std::string, std::set<std::string>> byPath;  // path -> ports
    std::vector<Logged> lines = logged();
    ASSERT_EQ(lines.size(), 40u);
    for (const Logged& l : lines) byPath[l.path].insert(l.port);
    ASSERT_EQ(byPath["/a.txt"].size(), 1u);
    ASSERT_EQ(byPath["/c.txt"].size(), 1u);
    EXPECT_NE(*byPath["/a.txt"].begin(), *byPath["/c.txt"].begin());
    // The calling thread kept none of theirs.
    EXPECT_EQ(httpCloseConnections(), 0);
}

// A thread that ends closes what it kept: the server sees the connection
// end (its next request would need a new one), and no descriptor is left.
TEST_F(KeptConnections, ThreadEndClosesItsConnections) {
    ASSERT_NO_FATAL_FAILURE(start());
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    const std::string url = urlFor(server.port, "/a.txt");
    auto count = [] {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd)
            if (fcntl(fd, F_GETFD) != -1) ++n;
        return n;
    };
    int before = count();
    int result = -1;
    std::thread t([&] { result = httpGet(url.c_str(), out.c_str(), 0); });
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count(), before);
}

// The server closes a connection idle for a second; the next call finds it
// closed (or has its request meet the close) and goes on a new one.
TEST_F(KeptConnections, ConnectionTheServerClosedIsReplaced) {
    ASSERT_NO_FATAL_FAILURE(start("", true));
    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    const std::string url = urlFor(server.port, "/a.txt");
    ASSERT_EQ(davPut(urlFor(server.port, "/up.bin").c_str(), in.c_str(), out.c_str(), 0), 0);
    // lighttpd looks at idle connections once a second.
    sleep(3);
    ASSERT_EQ(davPut(urlFor(server.port, "/up.bin").c_str(), in.c_str(), out.c_str(), 0), 0);
    EXPECT_EQ(readBack(docroot + "/up.bin"), readBack(in));
    ASSERT_EQ(httpGet(url.c_str(), out.c_str(), 0), 0);
    EXPECT_EQ(readBack(out), "alpha");
    std::vector<Logged> lines = logged();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(portsOf(lines, 0, 3).size(), 2u);
    EXPECT_EQ(lines[1].port, lines[2].port);
    EXPECT_EQ(httpCloseConnections(), 1);
}

// Apache keeping connections chunks what it makes as it goes (a PROPFIND's
// answer): the body is decoded to the same bytes a request of HTTP/1.0 gets
// plainly, and the connection is kept.
TEST_F(KeptConnections, ChunkedAnswerOfARealServerIsDecoded) {
    std::string why;
    if (!apacheInstalled(why)) GTEST_SKIP() << why;
    // Enough members that the answer outgrows what Apache holds back to
    // give it a length.
    for (int i = 0; i < 300; ++i) writeFile(docroot + "/member-" + std::to_string(i), "m");
    ASSERT_TRUE(startApacheKeepAlive(server, docroot, work, why)) << why;
    const std::string url = urlFor(server.port, "/");
    ASSERT_EQ(davPropfind(url.c_str(), nullptr, out.c_str(), 1, 0), 0);
    ASSERT_EQ(httpLastStatus(), 207);
    const std::string plain = readBack(out);
    char coding[32] = "";
    EXPECT_EQ(httpLastHeader("Transfer-Encoding", coding, sizeof coding), -1);

    httpSetOption(QUODRA_OPTION_KEEP_ALIVE, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(davPropfind(url.c_str(), nullptr, out.c_str(), 1, 0), 0);
        ASSERT_EQ(httpLastStatus(), 207);
        ASSERT_GT(httpLastHeader("Transfer-Encoding", coding, sizeof coding), 0);
        EXPECT_STREQ(coding, "chunked");
        EXPECT_EQ(readBack(out), plain);
    }
    EXPECT_EQ(httpCloseConnections(), 1);
}

}  // namespace
