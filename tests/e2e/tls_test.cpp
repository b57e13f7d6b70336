// https for real, beyond the scenario table and the WebDAV suite: the host
// given as a name or as an address literal (which is never sent as the
// server's name), the scheme in any case,
// certificates the checks reject taken only once the checks are off, and
// 64 MiB uploads through both body senders, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>

#include "certs.h"
#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"
#include "transfer/transfer.h"

namespace {

using namespace e2e;

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        std::string why;
        certs = testCerts(&why);
        ASSERT_FALSE(certs.empty()) << why;
        work = makeTempDir("tls");
        docroot = work + "/docroot";
        makeDir(docroot);
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_VERIFY_CERTIFICATES, 1);
        peer::stopPeer(p);
        stopServer(server);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    void startServer() {
        std::string why;
        ASSERT_TRUE(startLighttpdTls(server, docroot, work, certs, why)) << why;
    }
    std::string certs, work, docroot;
    Server server;
    peer::Peer p;
};

TEST_F(Tls, NameAndAddressLiteralGetTheBodyIntact) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string data = patternBytes(300 * 1024, 51);
    writeFile(docroot + "/data.bin", data);
    const std::string port = std::to_string(server.port);
    // The certificate names localhost and 127.0.0.1; the scheme and the
    // name are matched in any case.
    for (const std::string& base : {"https://127.0.0.1:" + port, "https://localhost:" + port,
                                    "HTTPS://LocalHost:" + port}) {
        SCOPED_TRACE(base);
        std::string out = work + "/out";
        EXPECT_EQ(0, httpGet((base + "/data.bin").c_str(), out.c_str(), 0));
        EXPECT_TRUE(fileBytes(out) == data) << "body differs";
    }
}

// A host name goes to the server as the name asked for (SNI); an address
// literal of either family never does, and is checked against the
// certificate's address entries instead (the certificate names 127.0.0.1,
// ::1 and ::ffff:127.0.0.1).
TEST_F(Tls, AddressLiteralsAreNeverSentAsServerNames) {
    struct Case {
        const char* host;
        bool ipv6;              // the peer listens on [::1]
        const char* sent;       // the server name the peer saw; "" none
    };
    const Case cases[] = {
        {"localhost", false, "localhost"},
        {"127.0.0.1", false, ""},
        {"[::1]", true, ""},
        {"[::ffff:127.0.0.1]", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        peer::useCert(p, certs, peer::Cert::Server);
        p.ipv6 = c.ipv6;
        std::string why;
        ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
        std::string url = std::string("https://") + c.host + ":" + std::to_string(p.port) + "/a";
        std::string out = work + "/out";
        EXPECT_EQ(0, httpGet(url.c_str(), out.c_str(), 0));
        EXPECT_EQ("ok", fileBytes(out));
        peer::stopPeer(p);
        std::vector<std::string> names = peer::serverNames(p);
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), c.sent);
    }
}

TEST_F(Tls, RejectedCertificatesAreTakenOnlyWithTheChecksOff) {
    for (peer::Cert cert : {peer::Cert::Rogue, peer::Cert::Other, peer::Cert::Expired}) {
        SCOPED_TRACE(peer::certName(cert));
        peer::useCert(p, certs, cert);
        std::string why;
        ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
        std::string url = secureUrlFor(p.port, "/a");
        std::string out = work + "/out";
        removeTree(out);
        EXPECT_EQ(QUODRA_CERT_REJECTED, httpGet(url.c_str(), out.c_str(), 0));
        EXPECT_FALSE(fileExists(out));
        EXPECT_EQ(httpSetOption(QUODRA_OPTION_VERIFY_CERTIFICATES, 0), 1);
        EXPECT_EQ(0, httpGet(url.c_str(), out.c_str(), 0));
        EXPECT_EQ(httpSetOption(QUODRA_OPTION_VERIFY_CERTIFICATES, 1), 0);
        EXPECT_EQ("ok", fileBytes(out));
        peer::stopPeer(p);
    }
}

// The PUT goes through the file sender alone, the form through the text
// sender and the file sender in turn; the engine keeps what it took while the
// socket is full, so neither must lose, repeat or reorder a byte.
TEST_F(Tls, LargeUploadsArriveByteForByte) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string data = patternBytes(64u << 20, 52);
    const std::string in = work + "/big.bin";
    writeFile(in, data);
    std::string out = work + "/out";

    EXPECT_EQ(0, davPut(secureUrlFor(server.port, "/big.bin").c_str(), in.c_str(), out.c_str(), 0));
    EXPECT_TRUE(fileBytes(docroot + "/big.bin") == data) << "the server's copy differs";

    peer::useCert(p, certs, peer::Cert::Server);
    std::string why;
    ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
    EXPECT_EQ(0, httpPostFile(secureUrlFor(p.port, "/form").c_str(), in.c_str(), out.c_str(), 0));
    peer::stopPeer(p);
    std::vector<std::string> got = peer::received(p);
    ASSERT_EQ(1u, got.size());
    const std::string boundary = announcedBoundary(got[0]);
    ASSERT_EQ(32u, boundary.size());
    // The part names the file by its base name.
    const std::string body =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"big.bin"
        "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n" + data + "\r\n--" + boundary + "--\r\n";
    size_t headEnd = got[0].find("\r\n\r\n");
    ASSERT_NE(std::string::npos, headEnd);
    EXPECT_NE(std::string::npos,
              got[0].find("Content-Length: " + std::to_string(body.size()) + "\r\n"));
    EXPECT_TRUE(got[0].compare(headEnd + 4, std::string::npos, body) == 0)
        << "the form's body differs (" << got[0].size() - headEnd - 4 << " bytes arrived, "
        << body.size() << " sent)";
}

}  // namespace
