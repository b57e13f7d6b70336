// Many calls in one process leave nothing behind: 2,000 sequential calls,
// good and failing, end with the process's descriptors, threads and heap
// blocks where they were before.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>
#include <vector>

#include "api/last_call.h"
#include "common/alloc.h"
#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

// Entries of a /proc directory, "." and ".." not counted.
int entries(const char* path) {
    DIR* d = opendir(path);
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

struct Counts {
    int descriptors, threads;
    long blocks;
};

// The last call's head is kept for its caller until the next call; it is
// let go first, so that only blocks nothing can reach any more count.
Counts now() {
    quodra::forgetLastCall();
    return {entries("/proc/self/fd"), entries("/proc/self/task"), quodra::qallocLive()};
}

TEST(ManyCalls, TwoThousandCallsLeaveDescriptorsAndThreadsAsTheyWere) {
    if (entries("/proc/self/fd") < 0) GTEST_SKIP() << "no /proc here";
    signal(SIGPIPE, SIG_IGN);
    std::string work = makeTempDir("many");
    std::string in = work + "/in.bin";
    writeFile(in, patternBytes(3000, 7));
    const std::string out = work + "/out.bin";
    const std::string noDir = work + "/no-such-dir/out.bin";
    const std::string missing = work + "/no-such-file";

    // Each peer thread lives until its peer stops, so the peers are started
    // afresh every hundred calls and stopped before anything is counted.
    peer::Peer good, malformed;
    const peer::Script lengths = {
        peer::readHead(),
        peer::send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 3\r\n\r\nhello"),
        peer::close()};
    std::string why;
    auto startPeers = [&] {
        return peer::startPeer(good, peer::recordAndAnswer(), 0, 0, &why) &&
               peer::startPeer(malformed, lengths, 0, 0, &why);
    };
    auto stopPeers = [&] {
        peer::stopPeer(good);
        peer::stopPeer(malformed);
    };
    const uint16_t closed = freePort();

    struct Kind {
        const char* what;
        int expected;
        std::function<int()> call;
    };
    const std::vector<Kind> kinds = {
        {"get", 0, [&] { return httpGet(urlFor(good.port, "/a").c_str(), out.c_str(), 0); }},
        {"get by name", 0, [&] {
             std::string url = "http://localhost:" + std::to_string(good.port) + "/a";
             return httpGet(url.c_str(), out.c_str(), 0); }},
        {"put", 0, [&] {
             return davPut(urlFor(good.port, "/p").c_str(), in.c_str(), out.c_str(), 0); }},
        {"form upload", 0, [&] {
             return httpPostFile(urlFor(good.port, "/f").c_str(), in.c_str(), out.c_str(), 0); }},
        {"malformed head", QUODRA_MALFORMED_HEAD, [&] {
             return httpGet(urlFor(malformed.port, "/a").c_str(), out.c_str(), 0); }},
        {"connection refused", QUODRA_REFUSED, [&] {
             return httpGet(urlFor(closed, "/a").c_str(), out.c_str(), 0); }},
        {"output cannot be made", QUODRA_NO_OUTPUT, [&] {
             return httpGet(urlFor(good.port, "/a").c_str(), noDir.c_str(), 0); }},
        {"body file missing", QUODRA_NO_INPUT, [&] {
             return davPut(urlFor(good.port, "/p").c_str(), missing.c_str(), out.c_str(), 0); }},
        {"url refused", QUODRA_REFUSED, [&] {
             return httpGet("http://127.0.0.1/a b", out.c_str(), 0); }},
    };

    // A first round starts what lives as long as the process (the lookup
    // workers); then the counts are taken.
    ASSERT_TRUE(startPeers()) << why;
    for (const Kind& k : kinds) ASSERT_EQ(k.call(), k.expected) << k.what;
    stopPeers();
    const Counts before = now();

    const int CALLS = 2000;
    int wrong = 0;
    for (int i = 0; i < CALLS && wrong < 10; ++i) {
        if (i % 100 == 0) {
            if (i) stopPeers();
            ASSERT_TRUE(startPeers()) << why;
        }
        const Kind& k = kinds[i % kinds.size()];
        int result = k.call();
        if (result != k.expected) {
            ++wrong;
            ADD_FAILURE() << "call " << i << " (" << k.what << ") gave " << result;
        }
    }
    stopPeers();
    const Counts after = now();

    EXPECT_EQ(after.descriptors, before.descriptors) << "descriptors";
    EXPECT_EQ(after.threads, before.threads) << "threads";
    EXPECT_EQ(after.blocks, before.blocks) << "heap blocks";
    if (!::testing::Test::HasFailure()) removeTree(work);
}

}  // namespace
