// Whole calls against the scripted peer: replies split at every byte, early
// replies, resets, silence, malformed and oversized heads, short bodies and
// lengths beyond 32 bits; over TLS the endings with and without the closing
// notice, rejected certificates and failed handshakes. Each scenario names
// its expected result and output; one that leaves no output is run again
// over an earlier file, which must stay as it was.
#include <gtest/gtest.h>
#include <signal.h>

#include "certs.h"
#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace peer {
// Names the scenario in test output instead of dumping its bytes.
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
}  // namespace peer

namespace {

using namespace e2e;

class PeerScenarios : public ::testing::TestWithParam<peer::Scenario> {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("peer");
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
        peer::stopPeer(p);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    peer::Peer p;
    std::string work;
};

int runCall(const peer::Scenario& s, const std::string& url,
            const std::string& out, const std::string& work) {
    switch (s.call) {
    case peer::Call::Get: return httpGet(url.c_str(), out.c_str(), 0);
    case peer::Call::Head: return httpHead(url.c_str(), out.c_str(), 0);
    case peer::Call::PutLarge: {
        std::string in = work + "/upload.bin";
        writeFile(in, patternBytes(s.uploadBytes, 31));
        return davPut(url.c_str(), in.c_str(), out.c_str(), 0);
    }
    }
    return -1;
}

TEST_P(PeerScenarios, ResultAndOutputFile) {
    const peer::Scenario& s = GetParam();
    std::string why;
    if (s.https) {
        ASSERT_FALSE(testCerts(&why).empty()) << why;
    }
    peer::prepareFor(p, s, testCerts());
    ASSERT_TRUE(peer::startPeer(p, s.script, 0, s.rcvbuf, &why)) << why;
    if (s.idleLimitSeconds) httpSetOption(QUODRA_OPTION_IDLE_LIMIT, s.idleLimitSeconds);
    std::string out = work + "/out.bin";

    std::string url = std::string(s.https ? "https://" : "http://") + s.host + ":" +
                      std::to_string(p.port) + "/resource";
    int result = runCall(s, url, out, work);
    peer::stopPeer(p);

    EXPECT_EQ(s.expected, result) << s.about;
    ASSERT_EQ(s.outputExists, fileExists(out)) << s.about;
    if (s.outputExists) {
        std::string got = fileBytes(out);
        EXPECT_EQ(s.body.size(), got.size()) << "output size; " << s.about;
        EXPECT_TRUE(got == s.body) << "output bytes differ; " << s.about;
    }
    EXPECT_EQ(s.connections, peer::received(p).size()) << "connections made";
    if (s.outputExists) return;

    // No reply came: an earlier output file stays as it was, byte for byte.
    const std::string earlier = patternBytes(1000, 97);
    writeFile(out, earlier);
    ASSERT_TRUE(peer::startPeer(p, s.script, 0, s.rcvbuf, &why)) << why;
    url = s.https ? secureUrlFor(p.port, "/resource") : urlFor(p.port, "/resource");
    EXPECT_EQ(s.expected, runCall(s, url, out, work)) << s.about;
    peer::stopPeer(p);
    EXPECT_TRUE(fileBytes(out) == earlier) << "an earlier output changed; " << s.about;
}

std::string nameOf(const ::testing::TestParamInfo<peer::Scenario>& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Scripted, PeerScenarios,
                         ::testing::ValuesIn(peer::scenarios()), nameOf);

}  // namespace
