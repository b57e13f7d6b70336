// Whole calls over IPv6 and to a name of both families: an address in
// brackets against lighttpd and against the scripted peer on [::1], and a
// name whose addresses are ::1 and 127.0.0.1 with only one of them
// answering, so that whatever the resolver's order one call must go on to
// the second address.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

// The tool's GET of url into out, with hosts as /etc/hosts.
Outcome getWithHosts(const std::string& hosts, const std::string& url, const std::string& out,
                     const std::string& log) {
    Outcome o;
    o.status = run({"unshare", "--mount", "sh", "-c",
                    "mount --bind \"$1\" /etc/hosts && exec \"$2\" --quiet get \"$3\" \"$4\"",
                    "sh", hosts, QUODRA_TOOL, url, out},
                   log);
    readFile(log, o.err);
    return o;
}

// True when nothing accepts on the loopback of the given family at port.
bool nobodyOn(bool v6, uint16_t port) {
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a6.sin6_port = htons(port);
    bool up = v6 ? connect(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0
                 : connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return !up;
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
    EXPECT_NE(std::string::npos, o.err.find("result 1:")) << o.err;
    EXPECT_FALSE(fileExists(out));
}

}  // namespace
