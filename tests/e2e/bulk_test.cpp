// Bodies of several buffers' worth both ways, through each way the platform
// has of moving them: the body file sent by the system itself (as to a peer
// on another machine) or read and sent by the core (as to a peer on this
// one), and the reply received straight into its file. Every byte must
// arrive once, in order, against lighttpd and PHP's form parser.
#include <gtest/gtest.h>

#include "files.h"
#include "platform/posix/test_hooks.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

class Bulk : public ::testing::Test {
protected:
    void SetUp() override { work = makeTempDir("bulk"); }
    void TearDown() override {
        plat::posix::hooks::treatPeersAsRemote(false);
        stopServer(server);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    Server server;
    std::string work;
};

TEST_F(Bulk, PutThenGetOfALargeFileKeepsEveryByte) {
    std::string docroot = work + "/docroot", why;
    makeDir(docroot);
    ASSERT_TRUE(startLighttpd(server, docroot, work, why)) << why;
    for (bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "sent by the system" : "read and sent");
        plat::posix::hooks::treatPeersAsRemote(remote);
        const std::string bytes = patternBytes((6 << 20) + 123, remote ? 71 : 72);
        std::string in = work + "/in.bin", reply = work + "/reply", back = work + "/back.bin";
        writeFile(in, bytes);
        std::string url = urlFor(server.port, remote ? "/remote.bin" : "/local.bin");
        ASSERT_EQ(0, davPut(url.c_str(), in.c_str(), reply.c_str(), 0));
        EXPECT_TRUE(fileBytes(docroot + (remote ? "/remote.bin" : "/local.bin")) == bytes);
        ASSERT_EQ(0, httpGet(url.c_str(), back.c_str(), 0));
        EXPECT_EQ(200, httpLastStatus());
        EXPECT_TRUE(fileBytes(back) == bytes) << "the reply body differs";
    }
}

TEST_F(Bulk, FormUploadOfALargeFileKeepsEveryByte) {
    std::string why;
    ASSERT_TRUE(startPhp(server, work, why)) << why;
    for (bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "sent by the system" : "read and sent");
        plat::posix::hooks::treatPeersAsRemote(remote);
        const std::string bytes = patternBytes((5 << 20) + 77, remote ? 73 : 74);
        std::string in = work + "/upload.bin", out = work + "/report";
        writeFile(in, bytes);
        ASSERT_EQ(0, httpPostFile(urlFor(server.port, "/upload.php").c_str(), in.c_str(),
                                  out.c_str(), 0));
        std::string report = fileBytes(out);
        EXPECT_NE(report.find("size: " + std::to_string(bytes.size()) + "\n"), std::string::npos)
            << report.substr(0, 300);
        EXPECT_NE(report.find("error: 0\n"), std::string::npos);
        size_t end = report.find("\n\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(report.substr(end + 2) == bytes) << "the uploaded bytes differ";
    }
}

}  // namespace
