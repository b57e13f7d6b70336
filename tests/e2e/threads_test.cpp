// Calls made from several threads at once, each running its own exchanges
// against lighttpd and the scripted peer, in plain HTTP and over TLS: every
// output must be exactly the resource it asked for.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "certs.h"
#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

// Over TLS the threads' first calls also race to make the process's one
// TLS context.
void concurrentCalls(bool secure) {
    signal(SIGPIPE, SIG_IGN);
    const int THREADS = 4;
    const int CALLS = 4;  // per thread, alternating between the two servers
    std::string work = makeTempDir("threads");
    std::string docroot = work + "/docroot";
    makeDir(docroot);
    Server dav;
    std::string why;
    const std::string certs = secure ? testCerts(&why) : "";
    if (secure) {
        ASSERT_FALSE(certs.empty()) << why;
    }
    bool up = secure ? startLighttpdTls(dav, docroot, work, certs, why)
                     : startLighttpd(dav, docroot, work, why);
    ASSERT_TRUE(up) << why;
    peer::Peer p;
    peer::useCert(p, certs, secure ? peer::Cert::Server : peer::Cert::None);
    ASSERT_TRUE(peer::startPeer(p, {peer::readHead(), peer::generate(), peer::close()}, 0, 0, &why)) << why;
    auto url = [secure](uint16_t port, const std::string& path) {
        return secure ? secureUrlFor(port, path) : urlFor(port, path);
    };

    struct Job {
        std::string url, out, expected;
        int result = -1;
    };
    std::vector<std::vector<Job>> jobs(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        for (int k = 0; k < CALLS; ++k) {
            uint32_t seed = static_cast<uint32_t>(t * CALLS + k + 1);
            size_t size = 150000 + seed * 1009;
            Job j;
            j.expected = patternBytes(size, seed);
            j.out = work + "/out-" + std::to_string(t) + "-" + std::to_string(k);
            if (k % 2 == 0) {
                std::string name = "/file-" + std::to_string(seed) + ".bin";
                writeFile(docroot + name, j.expected);
                j.url = url(dav.port, name);
            } else {
                j.url = url(p.port, "/gen/" + std::to_string(size) + "/" + std::to_string(seed));
            }
            jobs[t].push_back(j);
        }
    }

    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&jobs, t] {
            for (Job& j : jobs[t]) j.result = httpGet(j.url.c_str(), j.out.c_str(), 0);
        });
    for (std::thread& th : threads) th.join();
    peer::stopPeer(p);
    stopServer(dav);

    for (const auto& list : jobs)
        for (const Job& j : list) {
            SCOPED_TRACE(j.url);
            EXPECT_EQ(0, j.result);
            EXPECT_TRUE(fileBytes(j.out) == j.expected) << "output differs: " << j.out;
        }
    if (!::testing::Test::HasFailure()) removeTree(work);
}

TEST(Threads, ConcurrentCallsKeepTheirOwnBytes) { concurrentCalls(false); }

TEST(Threads, ConcurrentSecureCallsKeepTheirOwnBytes) { concurrentCalls(true); }

}  // namespace
