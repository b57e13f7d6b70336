// A process in which OpenSSL cannot be loaded: an https call ends with 7
// before anything is sent, plain http is untouched, and once the files can
// be found the next https call loads them and works. A program of its own,
// with this one test: OpenSSL, once loaded, stays for the process, so the
// test must make the process's first https calls.
#include <gtest/gtest.h>
#include <signal.h>

#include "certs.h"
#include "files.h"
#include "peer/peer.h"
#include "platform/posix/test_hooks.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;
namespace hooks = plat::posix::hooks;

TEST(OpenSslMissing, HttpsGivesSevenAndPlainHttpIsUntouched) {
    signal(SIGPIPE, SIG_IGN);
    std::string why;
    const std::string certs = testCerts(&why);
    ASSERT_FALSE(certs.empty()) << why;
    const std::string work = makeTempDir("nossl");
    const std::string out = work + "/out";
    peer::Peer secure, plain;
    peer::useCert(secure, certs, peer::Cert::Server);
    ASSERT_TRUE(peer::startPeer(secure, peer::recordAndAnswer(), 0, 0, &why)) << why;
    ASSERT_TRUE(peer::startPeer(plain, peer::recordAndAnswer(), 0, 0, &why)) << why;
    const std::string secureUrl = secureUrlFor(secure.port, "/s");
    const std::string plainUrl = urlFor(plain.port, "/p");

    struct Files {
        const char* ssl;
        const char* crypto;
    };
    // No libssl by that name, no libcrypto by that name, and a file that
    // opens but has none of libssl's functions.
    for (Files files : {Files{"libquodra-test-no-such-libssl.so.3", nullptr},
                        Files{nullptr, "libquodra-test-no-such-libcrypto.so.3"},
                        Files{"libcrypto.so.3", nullptr}}) {
        SCOPED_TRACE(std::string(files.ssl ? files.ssl : "-") + " " +
                     (files.crypto ? files.crypto : "-"));
        hooks::openSslFiles(files.ssl, files.crypto);
        EXPECT_EQ(QUODRA_TLS_FAILED, httpGet(secureUrl.c_str(), out.c_str(), 0));
        EXPECT_FALSE(fileExists(out));
        EXPECT_EQ(0, httpGet(plainUrl.c_str(), out.c_str(), 0));
        EXPECT_EQ("ok", fileBytes(out));
        removeTree(out);
    }

    hooks::openSslFiles(nullptr, nullptr);
    EXPECT_EQ(0, httpGet(secureUrl.c_str(), out.c_str(), 0));
    EXPECT_EQ("ok", fileBytes(out));
    peer::stopPeer(secure);
    peer::stopPeer(plain);

    // The failed calls sent nothing, not even in the clear: the one request
    // the secure peer read is the last call's.
    std::vector<std::string> got = peer::received(secure);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0u, got[0].find("GET /s HTTP/1.0\r\n"));
    EXPECT_EQ(3u, peer::received(plain).size());
    if (!HasFailure()) removeTree(work);
}

}  // namespace
