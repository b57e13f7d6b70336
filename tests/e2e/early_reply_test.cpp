// A real server that answers before it has read the request: lighttpd
// refuses a PUT whose announced body is over its size limit with 413 as
// soon as it has read the head, and closes while the body is still going
// out. The call hears that answer: result 0, status 413 and the server's
// page stored, however far the body got, and the server's copy unchanged.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "certs.h"
#include "files.h"
#include "quodra.h"
#include "server_test.h"
#include "servers.h"

namespace {

using namespace e2e;

struct Limited {
    const char* name;
    bool (*start)(Server&, const std::string& docroot, const std::string& workdir,
                  std::string& why);
    bool (*installed)(std::string& why);
    bool https;
};

bool startPlain(Server& s, const std::string& docroot, const std::string& workdir,
                std::string& why) {
    return startLighttpdSmallRequests(s, docroot, workdir, "", why);
}

bool startSecure(Server& s, const std::string& docroot, const std::string& workdir,
                 std::string& why) {
    const std::string& certs = testCerts(&why);
    return !certs.empty() && startLighttpdSmallRequests(s, docroot, workdir, certs, why);
}

const Limited SERVERS[] = {
    {"lighttpd", startPlain, nullptr, false},
    {"lighttpd_tls", startSecure, nullptr, true},
};

void PrintTo(const Limited& s, std::ostream* os) { *os << s.name; }

class EarlyReply : public ServerTest<Limited> {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ServerTest<Limited>::SetUp();
    }
    std::string url(const std::string& path) const {
        return GetParam().https ? secureUrlFor(server.port, path) : urlFor(server.port, path);
    }
};

TEST_P(EarlyReply, PutOverTheLimitGetsTheServersAnswer) {
    writeFile(docroot + "/kept.bin", "the server's copy");
    // Just over the limit (the whole body may fit the sockets' buffers), and
    // far over it (the body is still going out when the answer comes).
    for (size_t size : {size_t{65 * 1024}, size_t{32} << 20}) {
        SCOPED_TRACE(size);
        std::string in = work + "/in.bin";
        writeFile(in, patternBytes(size, 3));
        std::string out = work + "/out";
        writeFile(out, "earlier contents");
        EXPECT_EQ(QUODRA_OK, davPut(url("/kept.bin").c_str(), in.c_str(), out.c_str(), 0));
        EXPECT_EQ(413, httpLastStatus());
        std::string page = fileBytes(out);
        EXPECT_NE(std::string::npos, page.find("413")) << page;
        EXPECT_EQ("the server's copy", fileBytes(docroot + "/kept.bin"));
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, EarlyReply, ::testing::ValuesIn(SERVERS),
                         [](const ::testing::TestParamInfo<Limited>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
