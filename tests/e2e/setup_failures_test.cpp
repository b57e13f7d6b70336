// Exchanges that fail before a reply can arrive: nobody listening, a host
// name that cannot be found, an output file that cannot be made, a FIFO
// output that nobody reads.
#include <gtest/gtest.h>
#include <signal.h>

#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

class SetupFailures : public ::testing::Test {
protected:
    void SetUp() override { work = makeTempDir("setup"); }
    void TearDown() override { removeTree(work); }
    std::string work;
};

TEST_F(SetupFailures, RefusedConnectGivesOne) {
    std::string out = work + "/out";
    EXPECT_EQ(QUODRA_REFUSED, httpGet(urlFor(freePort(), "/").c_str(), out.c_str(), 0));
    EXPECT_FALSE(fileExists(out));
}

TEST_F(SetupFailures, UnknownHostGivesTheLookupError) {
    // Names under .invalid are never registered: host not found (11001), or
    // 11002 on a machine whose resolver cannot be reached at all.
    std::string out = work + "/out";
    int result = httpGet("http://quodra-no-such-host.invalid/", out.c_str(), 0);
    EXPECT_TRUE(result == 11001 || result == 11002) << result;
    EXPECT_FALSE(fileExists(out));
}

// An output that can never be made is found out before anything is sent: a
// server must not carry out a call that reports a failure.
TEST_F(SetupFailures, OutputThatCannotBeCreatedGivesThreeAndSendsNothing) {
    signal(SIGPIPE, SIG_IGN);
    peer::Peer p;
    std::string why;
    ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
    makeDir(work + "/folder");
    for (const std::string& out : {work + "/no-such-dir/out", work + "/folder", work + "/new/"}) {
        SCOPED_TRACE(out);
        EXPECT_EQ(QUODRA_NO_OUTPUT, davDelete(urlFor(p.port, "/a").c_str(), out.c_str(), 0));
        EXPECT_EQ(0, httpLastStatus());
    }
    peer::stopPeer(p);
    EXPECT_FALSE(fileExists(work + "/no-such-dir"));
    EXPECT_FALSE(fileExists(work + "/new"));
    EXPECT_EQ(0u, peer::received(p).size()) << "connections";
}

TEST_F(SetupFailures, OutputOnAFullDeviceGivesThree) {
    // Opening succeeds and the stream buffers the body; the bytes are lost
    // when they are written out, which the call must not report as stored.
    if (!fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    signal(SIGPIPE, SIG_IGN);
    peer::Peer p;
    std::string why;
    ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
    EXPECT_EQ(QUODRA_NO_OUTPUT, httpGet(urlFor(p.port, "/a").c_str(), "/dev/full", 0));
    peer::stopPeer(p);
}

}  // namespace
