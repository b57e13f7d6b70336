// Whole calls over IPv6 and to a name of both families: an address in
// brackets against lighttpd and against the scripted peer on [::1], and a
// name whose addresses are ::1 and 127.0.0.1 with only one of them
// answering (the other refusing, or never answering at all), so that
// whatever the resolver's order one call must go on to the second address.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

extern char** environ;

namespace {

using namespace e2e;

const std::string kRequest =
    "GET /a HTTP/1.0\r\nUser-Agent: Quodra/2.0.0\r\nConnection: close\r\nHost: ";

class Ipv6 : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("ipv6");
    }
    void TearDown() override {
        stopServer(server);
        peer::stopPeer(p);
        peer::stopPeer(other);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    std::string work;
    Server server;
    peer::Peer p, other;
};

TEST_F(Ipv6, LighttpdServesABracketedAddress) {
    std::string docroot = work + "/docroot", why;
    makeDir(docroot);
    ASSERT_TRUE(startLighttpd(server, docroot, work, why)) << why;
    const std::string base = "http://[::1]:" + std::to_string(server.port);
    const std::string bytes = patternBytes(200 * 1024, 61);
    writeFile(docroot + "/file.bin", bytes);

    std::string out = work + "/get.bin";
    EXPECT_EQ(0, httpGet((base + "/file.bin").c_str(), out.c_str(), 0));
    EXPECT_TRUE(fileBytes(out) == bytes) << "body differs";

    // Put over IPv6, fetched back over IPv4 from the same server.
    std::string in = work + "/put.bin";
    writeFile(in, patternBytes(70000, 62));
    EXPECT_EQ(0, davPut((base + "/put.bin").c_str(), in.c_str(), (work + "/reply").c_str(), 0));
    EXPECT_TRUE(fileBytes(docroot + "/put.bin") == fileBytes(in)) << "server copy differs";
    out = work + "/back.bin";
    EXPECT_EQ(0, httpGet(urlFor(server.port, "/put.bin").c_str(), out.c_str(), 0));
    EXPECT_TRUE(fileBytes(out) == fileBytes(in));
}

TEST_F(Ipv6, PeerOnLoopbackSixGetsTheRequestWithItsBrackets) {
    std::string why;
    p.ipv6 = true;
    ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
    std::string out = work + "/out";
    std::string url = "http://[::1]:" + std::to_string(p.port) + "/a";
    EXPECT_EQ(0, httpGet(url.c_str(), out.c_str(), 0));
    peer::stopPeer(p);
    EXPECT_EQ("ok", fileBytes(out));
    ASSERT_EQ(1u, peer::received(p).size());
    EXPECT_EQ(kRequest + "[::1]:" + std::to_string(p.port) + "\r\n\r\n", peer::received(p)[0]);
}

// ---- a name of both families ----------------------------------------------
// The machine's own hosts file may give a name one family only, so the quodra
// tool is run in a private mount namespace with a hosts file of the test's
// own bound over /etc/hosts: the real resolver reads it, and nothing outside
// that namespace changes. Where no namespace can be made, these skip.

const char kName[] = "quodra-both.test";  // .test is never delegated

struct Outcome {
    int status = -1;  // the tool's exit status; -1 when it did not end
    std::string err;  // what it printed on standard error
};

// Runs argv with standard output and error into log (emptied first), for at
// most 60 s.
int run(const std::vector<std::string>& argv, const std::string& log) {
    writeFile(log, "");
    pid_t pid = spawn(argv, log);
    if (pid < 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The tool's GET of url into out, with hosts as /etc/hosts and a
// no-progress limit of idle seconds (0: the tool's default).
Outcome getWithHosts(const std::string& hosts, const std::string& url, const std::string& out,
                     const std::string& log, int idle = 0) {
    Outcome o;
    std::string limit = idle ? std::to_string(idle) : "300";
    o.status = run({"unshare", "--mount", "sh", "-c",
                    "mount --bind \"$1\" /etc/hosts && "
                    "exec \"$2\" --quiet --max-idle \"$5\" get \"$3\" \"$4\"",
                    "sh", hosts, QUODRA_TOOL, url, out, limit},
                   log);
    readFile(log, o.err);
    return o;
}

// The loopback address of one family at port, as the system's record.
socklen_t loopbackAt(bool v6, uint16_t port, sockaddr_storage* out) {
    *out = sockaddr_storage{};
    if (v6) {
        sockaddr_in6* a6 = reinterpret_cast<sockaddr_in6*>(out);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        a6->sin6_port = htons(port);
        return sizeof *a6;
    }
    sockaddr_in* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    return sizeof *a;
}

// True when nothing accepts on the loopback of the given family at port.
bool nobodyOn(bool v6, uint16_t port) {
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage a;
    socklen_t len = loopbackAt(v6, port, &a);
    bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0;
    close(fd);
    return !up;
}

// An address that never answers, on the loopback and without privileges: a
// listener with a backlog of 0 that accepts nothing, its queue filled by
// connects of its own, so that the SYN of any later connect is dropped and
// that connect waits as it would for a host whose route is broken.
struct BlackHole {
    int listener = -1;
    std::vector<int> fillers;
};

void closeBlackHole(BlackHole& hole) {
    for (int fd : hole.fillers) close(fd);
    if (hole.listener >= 0) close(hole.listener);
    hole = BlackHole{};
}

// Makes hole on the family's loopback at port; "" when it swallows a
// connect, else why not.
std::string makeBlackHole(BlackHole& hole, bool v6, uint16_t port) {
    sockaddr_storage a;
    socklen_t len = loopbackAt(v6, port, &a);
    hole.listener = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (bind(hole.listener, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        listen(hole.listener, 0) != 0)
        return "no listener on the loopback at that port";
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        hole.fillers.push_back(fd);
        connect(fd, reinterpret_cast<sockaddr*>(&a), len);
    }
    // The last filler stands for the call's connect: it must still be
    // waiting after a second (well past a quarter's turn).
    pollfd probe{hole.fillers.back(), POLLOUT, 0};
    if (poll(&probe, 1, 1000) != 0) return "this system answers past a full queue";
    return "";
}

class BothFamilies : public Ipv6 {
protected:
    void SetUp() override {
        Ipv6::SetUp();
        hosts = work + "/hosts";
        writeFile(hosts, std::string("::1 ") + kName + "\n127.0.0.1 " + kName + "\n");
        int probe = run({"unshare", "--mount", "sh", "-c",
                         "mount --bind \"$1\" /etc/hosts && grep -q quodra-both /etc/hosts",
                         "sh", hosts},
                        work + "/probe.log");
        if (probe != 0)
            GTEST_SKIP() << "no private mount namespace here: " << fileBytes(work + "/probe.log");
    }

    // A peer on one family's loopback, at a port free on the other's, so
    // that the other address is refused rather than answered by a stranger.
    bool startOn(peer::Peer& peer, bool v6) {
        for (int tries = 0; tries < 5; ++tries) {
            peer.ipv6 = v6;
            std::string why;
            if (!peer::startPeer(peer, peer::recordAndAnswer(), 0, 0, &why)) {
                ADD_FAILURE() << why;
                return false;
            }
            if (nobodyOn(!v6, peer.port)) return true;
            peer::stopPeer(peer);
        }
        ADD_FAILURE() << "no port free on both loopbacks";
        return false;
    }
    std::string url(uint16_t port) const {
        return std::string("http://") + kName + ":" + std::to_string(port) + "/a";
    }
    std::string hosts;
};

TEST_F(BothFamilies, EachAddressAloneAnswersTheName) {
    for (bool v6 : {true, false}) {
        SCOPED_TRACE(v6 ? "peer on ::1 only" : "peer on 127.0.0.1 only");
        peer::Peer& peer = v6 ? p : other;
        ASSERT_TRUE(startOn(peer, v6));
        std::string out = work + (v6 ? "/out6" : "/out4");
        Outcome o = getWithHosts(hosts, url(peer.port), out, out + ".log");
        peer::stopPeer(peer);
        EXPECT_EQ(0, o.status) << o.err;
        EXPECT_EQ("ok", fileBytes(out));
        ASSERT_EQ(1u, peer::received(peer).size());
        EXPECT_EQ(kRequest + kName + ":" + std::to_string(peer.port) + "\r\n\r\n",
                  peer::received(peer)[0]);
    }
}

// One family's address never answers and the other's serves, at the same
// port: whichever the resolver gives first, the call reaches the peer. The
// limit of 3 s without progress would end a call that waited for the silent
// address alone with 10060 (the tool's 28).
TEST_F(BothFamilies, AnAddressThatNeverAnswersGivesWayToTheOther) {
    for (bool silentV6 : {true, false}) {
        SCOPED_TRACE(silentV6 ? "::1 silent, 127.0.0.1 serves" : "127.0.0.1 silent, ::1 serves");
        peer::Peer& peer = silentV6 ? other : p;
        BlackHole hole;
        std::string why = "no port free on both loopbacks";
        for (int tries = 0; tries < 5; ++tries) {
            peer.ipv6 = !silentV6;
            std::string failed;
            ASSERT_TRUE(peer::startPeer(peer, peer::recordAndAnswer(), 0, 0, &failed)) << failed;
            why = makeBlackHole(hole, silentV6, peer.port);
            if (why.empty()) break;
            peer::stopPeer(peer);
            closeBlackHole(hole);
        }
        if (!why.empty()) GTEST_SKIP() << why;
        std::string out = work + (silentV6 ? "/out4" : "/out6");
        Outcome o = getWithHosts(hosts, url(peer.port), out, out + ".log", 3);
        peer::stopPeer(peer);
        closeBlackHole(hole);
        EXPECT_EQ(0, o.status) << o.err;
        EXPECT_EQ("ok", fileBytes(out));
        ASSERT_EQ(1u, peer::received(peer).size());
        EXPECT_EQ(kRequest + kName + ":" + std::to_string(peer.port) + "\r\n\r\n",
                  peer::received(peer)[0]);
    }
}

TEST_F(BothFamilies, EveryAddressRefusingGivesOne) {
    uint16_t port = 0;
    for (int tries = 0; tries < 20 && !port; ++tries) {
        uint16_t candidate = freePort();
        if (nobodyOn(true, candidate) && nobodyOn(false, candidate)) port = candidate;
    }
    ASSERT_NE(0, port) << "no port free on both loopbacks";
    std::string out = work + "/out";
    Outcome o = getWithHosts(hosts, url(port), out, work + "/refused.log");
    EXPECT_EQ(7, o.status);  // the tool's exit status for a connection not made
    // The library's line names an address it tried and what the system said.
    EXPECT_NE(std::string::npos, o.err.find(": connection refused (result 1, error 10061)")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("connect to ")) << o.err;
    EXPECT_FALSE(fileExists(out));
}

}  // namespace
