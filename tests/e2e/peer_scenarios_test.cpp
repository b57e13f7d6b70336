// Whole calls against the scripted peer: replies split at every byte, early
// replies, resets, silence, malformed and oversized heads, short bodies and
// lengths beyond 32 bits; over TLS the endings with and without the closing
// notice, rejected certificates and failed handshakes; the replies to a
// call that resumes its output, asks for a newer one or fails on an error
// status. Each scenario names its expected result and output; one that
// leaves no output is run again over an earlier file, which must stay as it
// was. Every scenario is run once more keeping the old output until the new
// one is whole: the output is then the whole reply or the earlier file,
// and no new file is ever left beside it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <set>

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

void setFileOptions(const peer::Scenario& s) {
    httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, s.keep);
    httpSetOption(QUODRA_OPTION_FAIL_ON_ERROR, s.failOnError);
    httpSetOption(QUODRA_OPTION_RESUME, s.resume);
    httpSetOption(QUODRA_OPTION_ONLY_IF_NEWER, s.onlyIfNewer);
}

class PeerScenarios : public ::testing::TestWithParam<peer::Scenario> {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        work = makeTempDir("peer");
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_IDLE_LIMIT, 300);
        httpSetOptionText(QUODRA_OPTION_PROXY, nullptr);
        setFileOptions(peer::Scenario{});
        peer::stopPeer(p);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    peer::Peer p;
    std::string work;
};

// The output as the scenario has it before the call.
void writeBefore(const peer::Scenario& s, const std::string& out) {
    std::remove(out.c_str());
    if (s.before.empty()) return;
    writeFile(out, s.before);
    if (s.beforeTime) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(s.beforeTime), 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, out.c_str(), times, 0), 0);
    }
}

int64_t modifiedOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

// What the folder holds besides the output and the upload's body: a new
// file left beside the output would be there.
std::set<std::string> strays(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && name != "out.bin" && name != "upload.bin")
            names.insert(name);
    }
    if (d) ::closedir(d);
    return names;
}

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
    // A proxy scenario's peer is the proxy; the URL's server is reached
    // through it only.
    auto useProxy = [&] {
        std::string proxy = s.proxy ? "http://127.0.0.1:" + std::to_string(p.port) : "";
        ASSERT_EQ(0, httpSetOptionText(QUODRA_OPTION_PROXY, proxy.c_str()));
    };
    useProxy();
    setFileOptions(s);
    std::string out = work + "/out.bin";
    writeBefore(s, out);

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
    if (s.modified != -1) {
        EXPECT_EQ(s.modified, modifiedOf(out)) << "output's time; " << s.about;
    }
    EXPECT_EQ(std::set<std::string>{}, strays(work)) << s.about;
    ASSERT_EQ(1u, peer::received(p).size()) << "connections made";
    if (!s.asks.empty()) {
        EXPECT_NE(std::string::npos, peer::received(p)[0].find("\r\n" + s.asks + "\r\n"))
            << "the request lacks " << s.asks;
    }
    if (s.outputExists) return;

    // No reply came: an earlier output file stays as it was, byte for byte.
    const std::string earlier = patternBytes(1000, 97);
    writeFile(out, earlier);
    ASSERT_TRUE(peer::startPeer(p, s.script, 0, s.rcvbuf, &why)) << why;
    useProxy();
    url = s.https ? secureUrlFor(p.port, "/resource") : urlFor(p.port, "/resource");
    EXPECT_EQ(s.expected, runCall(s, url, out, work)) << s.about;
    peer::stopPeer(p);
    EXPECT_TRUE(fileBytes(out) == earlier) << "an earlier output changed; " << s.about;
}

// The same with the old output kept until the new one is whole, over an
// earlier file (or the scenario's own): the result is the scenario's, and
// the output the whole reply for a 0, the earlier file for anything else.
// An append of the rest of a file keeps what arrived whatever the option
// says, so the scenarios that resume, and those that keep already, are not
// run again.
class KeptScenarios : public PeerScenarios {};

std::vector<peer::Scenario> keepable() {
    std::vector<peer::Scenario> list;
    for (const peer::Scenario& s : peer::scenarios())
        if (!s.keep && !s.resume) list.push_back(s);
    return list;
}

TEST_P(KeptScenarios, OldOutputOrWholeReply) {
    const peer::Scenario& s = GetParam();
    std::string why;
    if (s.https) {
        ASSERT_FALSE(testCerts(&why).empty()) << why;
    }
    peer::prepareFor(p, s, testCerts());
    ASSERT_TRUE(peer::startPeer(p, s.script, 0, s.rcvbuf, &why)) << why;
    if (s.idleLimitSeconds) httpSetOption(QUODRA_OPTION_IDLE_LIMIT, s.idleLimitSeconds);
    peer::Scenario kept = s;
    kept.keep = true;
    setFileOptions(kept);
    // A proxy scenario's peer is the proxy here too.
    std::string proxy = s.proxy ? "http://127.0.0.1:" + std::to_string(p.port) : "";
    ASSERT_EQ(0, httpSetOptionText(QUODRA_OPTION_PROXY, proxy.c_str()));
    if (kept.before.empty()) kept.before = patternBytes(1000, 97);
    std::string out = work + "/out.bin";
    writeBefore(kept, out);

    std::string url = std::string(s.https ? "https://" : "http://") + s.host + ":" +
                      std::to_string(p.port) + "/resource";
    EXPECT_EQ(s.expected, runCall(s, url, out, work)) << s.about;
    peer::stopPeer(p);
    std::string got = fileBytes(out);
    const std::string& want = s.expected == 0 ? s.body : kept.before;
    EXPECT_EQ(want.size(), got.size()) << "output size; " << s.about;
    EXPECT_TRUE(got == want) << (s.expected == 0 ? "not the reply; " : "not the earlier file; ")
                             << s.about;
    EXPECT_EQ(std::set<std::string>{}, strays(work)) << s.about;
}

std::string nameOf(const ::testing::TestParamInfo<peer::Scenario>& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Scripted, PeerScenarios,
                         ::testing::ValuesIn(peer::scenarios()), nameOf);
INSTANTIATE_TEST_SUITE_P(Scripted, KeptScenarios, ::testing::ValuesIn(keepable()), nameOf);

}  // namespace
