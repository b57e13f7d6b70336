// The line httpLastErrorText gives after whole calls against real peers,
// one case per class of failure: what must be in it (the peer, the file,
// the system's or the TLS engine's words) and the error number behind it.
// The same failures against the fake platform are in tests/core; here the
// words come from the real socket layer, resolver, file system and OpenSSL.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <vector>

#include "certs.h"
#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

// The names in a folder, sorted.
std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (d) ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string lastErrorText() {
    int n = httpLastErrorText(nullptr, 0);
    std::string text(static_cast<size_t>(n) + 1, '\0');
    httpLastErrorText(&text[0], n + 1);
    text.resize(static_cast<size_t>(n));
    return text;
}

class ErrorText : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 0);
        work = makeTempDir("errortext");
        out = work + "/out";
    }
    void TearDown() override {
        httpSetOption(QUODRA_OPTION_MESSAGE_BOXES, 1);
        httpSetOption(QUODRA_OPTION_TIME_LIMIT, 0);
        peer::stopPeer(p);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    std::string work, out;
    peer::Peer p;
};

struct Case {
    const char* name;
    int result;
    int error;           // httpLastError; -1: not checked (the resolver's own)
    std::string words;   // a regular expression the whole line must match
};

void expectLine(const Case& c, int result) {
    EXPECT_EQ(result, c.result);
    if (c.error >= 0) {
        EXPECT_EQ(httpLastError(), c.error);
    }
    const std::string line = lastErrorText();
    EXPECT_TRUE(std::regex_match(line, std::regex(c.words))) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

// Failures of the network and of files, each with the system's own words.
TEST_F(ErrorText, NetworkAndFileFailuresSayWhereAndWhy) {
    const uint16_t closed = freePort();
    const std::string missing = work + "/no-such-file";
    std::string why;
    // A reply of 100 announced bytes cut off after 40.
    const peer::Script cut = {peer::readHead(),
                              peer::send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" +
                                         std::string(40, 'x')),
                              peer::close()};
    ASSERT_TRUE(peer::startPeer(p, cut, 0, 0, &why)) << why;
    const std::string port = std::to_string(closed);
    struct Run {
        Case c;
        std::function<int()> call;
    };
    const std::vector<Run> runs = {
        {{"refused connection", QUODRA_REFUSED, 10061,
          "connect to 127\\.0\\.0\\.1:" + port + ": connection refused"},
         [&] { return httpGet(urlFor(closed, "/a").c_str(), out.c_str(), 0); }},
        {{"unknown host", 11001, -1,
          "host \"quodra-no-such-host\\.invalid\" (not found|has no address) \\(.+\\)"},
         [&] { return httpGet("http://quodra-no-such-host.invalid/", out.c_str(), 0); }},
        {{"missing body file", QUODRA_NO_INPUT, ENOENT,
          "body file \"" + missing + "\": no such file or directory"},
         [&] { return davPut(urlFor(p.port, "/a").c_str(), missing.c_str(), out.c_str(), 0); }},
        {{"output in a missing folder", QUODRA_NO_OUTPUT, ENOENT,
          "output \"" + missing + "/out\": no such file or directory"},
         [&] { return httpGet(urlFor(p.port, "/a").c_str(), (missing + "/out").c_str(), 0); }},
        {{"reply cut short", QUODRA_ENDED_EARLY, 0,
          "the reply from 127\\.0\\.0\\.1:[0-9]+ ended after 40 of 100 body bytes"},
         [&] { return httpGet(urlFor(p.port, "/a").c_str(), out.c_str(), 0); }},
        // The device that is always full: the disk-full path for real.
        {{"full disk", QUODRA_NO_OUTPUT, ENOSPC,
          "writing \"/dev/full\": no space left on device"},
         [&] { return httpGet(urlFor(p.port, "/a").c_str(), "/dev/full", 0); }},
    };
    for (const Run& r : runs) {
        SCOPED_TRACE(r.c.name);
        // The peer answers one request a run: started afresh for each.
        peer::stopPeer(p);
        ASSERT_TRUE(peer::startPeer(p, cut, 0, 0, &why)) << why;
        if (r.c.result == 11001) {
            int got = r.call();
            // A machine without a resolver answers 11002/11003: no text of
            // "not found" to check then, only that the line names the host.
            if (got != 11001) {
                EXPECT_NE(lastErrorText().find("quodra-no-such-host.invalid"), std::string::npos);
                continue;
            }
            expectLine(r.c, got);
            continue;
        }
        expectLine(r.c, r.call());
    }
}

// Every certificate the TLS tests reject, with the reason OpenSSL gave,
// sorted as both TLS engines sort it.
TEST_F(ErrorText, RejectedCertificatesSayWhatIsWrongWithThem) {
    std::string why;
    const std::string certs = testCerts(&why);
    ASSERT_FALSE(certs.empty()) << why;
    struct CertCase {
        peer::Cert cert;
        std::string words;
    };
    const CertCase cases[] = {
        {peer::Cert::Rogue, "certificate of 127\\.0\\.0\\.1: issuer not trusted \\(.+\\)"},
        {peer::Cert::Other, "certificate of 127\\.0\\.0\\.1: names other\\.invalid, not 127\\.0\\.0\\.1"},
        {peer::Cert::Expired, "certificate of 127\\.0\\.0\\.1: has expired \\(notAfter 2020-01-31\\)"},
        {peer::Cert::CnOnly, "certificate of 127\\.0\\.0\\.1: names no host, not 127\\.0\\.0\\.1"},
    };
    for (const CertCase& c : cases) {
        SCOPED_TRACE(peer::certName(c.cert));
        peer::stopPeer(p);
        peer::useCert(p, certs, c.cert);
        ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
        int result = httpGet(secureUrlFor(p.port, "/a").c_str(), out.c_str(), 0);
        expectLine({"", QUODRA_CERT_REJECTED, 0, c.words}, result);
    }
}

// A peer that sends a byte every 50 ms never reaches the idle limit; the
// call's time limit ends it with 15 and says so, with the phase it was in.
TEST_F(ErrorText, TimeLimitEndsATricklingReply) {
    std::string why;
    const std::string body(400, 'x');  // 20 s at a byte per 50 ms
    const peer::Script slow = {
        peer::readHead(),
        peer::trickle("HTTP/1.0 200 OK\r\nContent-Length: 400\r\n\r\n" + body, 1, 50),
        peer::close()};
    ASSERT_TRUE(peer::startPeer(p, slow, 0, 0, &why)) << why;
    ASSERT_EQ(httpSetOption(QUODRA_OPTION_TIME_LIMIT, 1), 0);
    int result = httpGet(urlFor(p.port, "/a").c_str(), out.c_str(), 0);
    expectLine({"", QUODRA_TIME_LIMIT, 0,
                "the call took longer than its time limit of 1 s, while (waiting for|receiving) "
                "the reply from 127\\.0\\.0\\.1:[0-9]+"},
               result);
    // What came is all there is: no more than the peer sent, never the whole.
    EXPECT_LT(fileBytes(out).size(), body.size());
}

// Cancelling from a real download's middle: 14 at once, the line says so,
// and the callback heard the reply's announced length.
TEST_F(ErrorText, CancelHalfwayThroughARealDownload) {
    std::string why;
    const std::string body = patternBytes(8 * 1024 * 1024, 3);
    const peer::Script big = {
        peer::readHead(),
        peer::send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n"),
        peer::trickle(body, 64 * 1024, 5), peer::close()};
    ASSERT_TRUE(peer::startPeer(p, big, 0, 0, &why)) << why;
    struct Seen {
        double total = 0, last = 0;
        int calls = 0;
    } seen;
    auto stopHalfway = [](void* context, double, double, double received,
                          double receiveTotal) -> int {
        Seen& s = *static_cast<Seen*>(context);
        ++s.calls;
        s.total = receiveTotal;
        s.last = received;
        return receiveTotal > 0 && received >= receiveTotal / 2 ? 1 : 0;
    };
    httpSetProgress(stopHalfway, &seen);
    int result = httpGet(urlFor(p.port, "/a").c_str(), out.c_str(), 0);
    httpSetProgress(nullptr, nullptr);
    expectLine({"", QUODRA_CANCELLED, 0, "the progress callback cancelled the call"}, result);
    EXPECT_EQ(seen.total, static_cast<double>(body.size()));
    EXPECT_GE(seen.last, static_cast<double>(body.size()) / 2);
    EXPECT_LT(seen.last, static_cast<double>(body.size()));
    // The output holds what came before the cancel, never more.
    const std::string got = fileBytes(out);
    EXPECT_LT(got.size(), body.size());
    EXPECT_EQ(got, body.substr(0, got.size()));
}

// With the old output kept until the new one is whole, a cancel is a
// failure like any other: the old file stays byte for byte, and nothing
// is left beside it.
TEST_F(ErrorText, CancelKeepsTheOldFileWhenItIsKept) {
    std::string why;
    const std::string body = patternBytes(4 * 1024 * 1024, 5);
    const peer::Script big = {
        peer::readHead(),
        peer::send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n"),
        peer::trickle(body, 64 * 1024, 5), peer::close()};
    ASSERT_TRUE(peer::startPeer(p, big, 0, 0, &why)) << why;
    writeFile(out, "the old file");
    auto stopHalfway = [](void*, double, double, double received, double receiveTotal) -> int {
        return receiveTotal > 0 && received >= receiveTotal / 2 ? 1 : 0;
    };
    ASSERT_EQ(httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, 1), 0);
    httpSetProgress(stopHalfway, nullptr);
    int result = httpGet(urlFor(p.port, "/a").c_str(), out.c_str(), 0);
    httpSetProgress(nullptr, nullptr);
    httpSetOption(QUODRA_OPTION_KEEP_UNTIL_COMPLETE, 0);
    EXPECT_EQ(result, QUODRA_CANCELLED);
    EXPECT_EQ(fileBytes(out), "the old file");
    EXPECT_EQ(listDir(work), std::vector<std::string>{"out"}) << "a file left beside the output";
}

}  // namespace
