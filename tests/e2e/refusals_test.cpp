// Calls refused before anything happens: missing pointers, URLs without a
// host, control bytes or a space in the URL, a scheme other than http and
// https, a port that is not 1 to 65535, brackets around anything but an
// IPv6 address, userinfo that does not decode, control bytes or userinfo in
// the Destination, a lock token that is no URI. A refused call returns 1,
// opens no connection and creates no output file.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>

#include "files.h"
#include "peer/peer.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

TEST(Refusals, NothingIsSentAndNoFileIsMade) {
    signal(SIGPIPE, SIG_IGN);
    std::string work = makeTempDir("refuse");
    std::string in = work + "/in.txt";
    writeFile(in, "body");
    peer::Peer p;
    std::string why;
    ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
    const std::string good = urlFor(p.port, "/a");
    const std::string outPath = work + "/out.bin";
    const char* u = good.c_str();
    const char* o = outPath.c_str();
    const char* i = in.c_str();
    const char* d = "http://127.0.0.1/b";
    auto withByte = [&](const std::string& text) { return urlFor(p.port, "/a" + text + "b"); };
    const std::string urlSoh = withByte("\x01");
    const std::string urlCrLf = withByte("\r\nX-Injected: 1\r\n");
    const std::string urlTab = withByte("\t");
    const std::string urlUnit = withByte("\x1f");
    const std::string urlDel = withByte("\x7f");
    const std::string urlSpace = withByte(" ");
    const std::string destCrLf = "http://127.0.0.1/b\r\nX-Injected: 1";
    const std::string destSoh = "http://127.0.0.1/b\x01";
    // The peer's own address in every other way, so that a URL read
    // wrongly would reach it.
    const std::string port = std::to_string(p.port);
    auto at = [&](const std::string& scheme, const std::string& authority) {
        return scheme + authority + "/a";
    };
    const std::string ftp = at("ftp://", "127.0.0.1:" + port);
    const std::string typo = at("htps://", "127.0.0.1:" + port);
    const std::string noScheme = at("https//", "127.0.0.1:" + port);
    const std::string wrapped = at("http://", "127.0.0.1:" + std::to_string(65536 + p.port));
    const std::string zero = at("http://", "127.0.0.1:0");
    const std::string tooBig = at("http://", "127.0.0.1:99999");
    const std::string negative = at("http://", "127.0.0.1:-1");
    const std::string letters = at("http://", "127.0.0.1:abc");
    const std::string trailing = at("http://", "127.0.0.1:" + port + "abc");
    const std::string notIpv6 = at("http://", "[a:b]:" + port);
    const std::string zone = at("http://", "[fe80::1%25lo]:" + port);
    const std::string v4InBrackets = at("http://", "[127.0.0.1]:" + port);
    const std::string badEscape = at("http://", "user:%zz@127.0.0.1:" + port);
    const std::string controlEscape = at("http://", "user%0D%0AX:pw@127.0.0.1:" + port);
    const std::string backslash = at("http://", "127.0.0.1:" + port + "\\@x");
    const std::string destUser = "http://user:pw@127.0.0.1:" + port + "/b";

    struct Case {
        std::string what;
        std::function<int()> call;
    };
    const std::vector<Case> cases = {
        {"httpGet null url", [&] { return httpGet(nullptr, o, 0); }},
        {"httpGet null outfile", [&] { return httpGet(u, nullptr, 0); }},
        {"httpHead null url", [&] { return httpHead(nullptr, o, 0); }},
        {"httpHead null outfile", [&] { return httpHead(u, nullptr, 0); }},
        {"httpPostFile null url", [&] { return httpPostFile(nullptr, i, o, 0); }},
        {"httpPostFile null infile", [&] { return httpPostFile(u, nullptr, o, 0); }},
        {"httpPostFile null outfile", [&] { return httpPostFile(u, i, nullptr, 0); }},
        {"davOptions null url", [&] { return davOptions(nullptr, o, 0); }},
        {"davOptions null outfile", [&] { return davOptions(u, nullptr, 0); }},
        {"davMkcol null url", [&] { return davMkcol(nullptr, o, 0); }},
        {"davMkcol null outfile", [&] { return davMkcol(u, nullptr, 0); }},
        {"davPropfind null url", [&] { return davPropfind(nullptr, i, o, 0, 0); }},
        {"davPropfind null outfile", [&] { return davPropfind(u, i, nullptr, 0, 0); }},
        {"davPut null url", [&] { return davPut(nullptr, i, o, 0); }},
        {"davPut null infile", [&] { return davPut(u, nullptr, o, 0); }},
        {"davPut null outfile", [&] { return davPut(u, i, nullptr, 0); }},
        {"davDelete null url", [&] { return davDelete(nullptr, o, 0); }},
        {"davDelete null outfile", [&] { return davDelete(u, nullptr, 0); }},
        {"davMove null url", [&] { return davMove(nullptr, d, o, 0, 0, 0); }},
        {"davMove null destination", [&] { return davMove(u, nullptr, o, 0, 0, 0); }},
        {"davMove null outfile", [&] { return davMove(u, d, nullptr, 0, 0, 0); }},
        {"davCopy null url", [&] { return davCopy(nullptr, d, o, 0, 0, 0); }},
        {"davCopy null destination", [&] { return davCopy(u, nullptr, o, 0, 0, 0); }},
        {"davCopy null outfile", [&] { return davCopy(u, d, nullptr, 0, 0, 0); }},
        {"empty url", [&] { return httpGet("", o, 0); }},
        {"url without host", [&] { return httpGet("http://", o, 0); }},
        {"url with empty host", [&] { return httpGet("http:///a", o, 0); }},
        {"url with port but no host", [&] { return davPut(("http://:" + std::to_string(p.port) + "/a").c_str(), i, o, 0); }},
        {"url with SOH", [&] { return httpGet(urlSoh.c_str(), o, 0); }},
        {"url with CR LF", [&] { return httpGet(urlCrLf.c_str(), o, 0); }},
        {"url with TAB", [&] { return davDelete(urlTab.c_str(), o, 0); }},
        {"url with US", [&] { return davPut(urlUnit.c_str(), i, o, 0); }},
        {"url with DEL", [&] { return davMkcol(urlDel.c_str(), o, 0); }},
        {"url with a space", [&] { return httpGet(urlSpace.c_str(), o, 0); }},
        {"move url with a space", [&] { return davMove(urlSpace.c_str(), d, o, 0, 0, 0); }},
        {"move destination with CR LF", [&] { return davMove(u, destCrLf.c_str(), o, 0, 0, 0); }},
        {"copy destination with SOH", [&] { return davCopy(u, destSoh.c_str(), o, 0, 0, 0); }},
        {"ftp scheme", [&] { return httpGet(ftp.c_str(), o, 0); }},
        {"scheme typo", [&] { return davPut(typo.c_str(), i, o, 0); }},
        {"text before // that is no scheme", [&] { return davDelete(noScheme.c_str(), o, 0); }},
        {"port that would wrap to the peer's", [&] { return httpGet(wrapped.c_str(), o, 0); }},
        {"port 0", [&] { return httpGet(zero.c_str(), o, 0); }},
        {"port 99999", [&] { return httpHead(tooBig.c_str(), o, 0); }},
        {"port -1", [&] { return davOptions(negative.c_str(), o, 0); }},
        {"port in letters", [&] { return httpGet(letters.c_str(), o, 0); }},
        {"port with letters after it", [&] { return httpPostFile(trailing.c_str(), i, o, 0); }},
        {"brackets around no IPv6 address", [&] { return httpGet(notIpv6.c_str(), o, 0); }},
        {"IPv6 address with a zone", [&] { return httpGet(zone.c_str(), o, 0); }},
        {"IPv4 address in brackets", [&] { return davMkcol(v4InBrackets.c_str(), o, 0); }},
        {"userinfo with a bad escape", [&] { return httpGet(badEscape.c_str(), o, 0); }},
        {"userinfo with an escaped CR LF", [&] { return davPropfind(controlEscape.c_str(), nullptr, o, 0, 0); }},
        {"backslash in the authority", [&] { return httpGet(backslash.c_str(), o, 0); }},
        {"move destination with userinfo", [&] { return davMove(u, destUser.c_str(), o, 0, 0, 0); }},
        {"copy destination with userinfo", [&] { return davCopy(u, destUser.c_str(), o, 0, 0, 0); }},
        {"davProppatch null url", [&] { return davProppatch(nullptr, i, o, 0); }},
        {"davProppatch null infile", [&] { return davProppatch(u, nullptr, o, 0); }},
        {"davProppatch null outfile", [&] { return davProppatch(u, i, nullptr, 0); }},
        {"davLock null url", [&] { return davLock(nullptr, nullptr, o, 0, 60, 0); }},
        {"davLock null outfile", [&] { return davLock(u, nullptr, nullptr, 0, 60, 0); }},
        {"davUnlock null url", [&] { return davUnlock(nullptr, "urn:x", o, 0); }},
        {"davUnlock null token", [&] { return davUnlock(u, nullptr, o, 0); }},
        {"davUnlock null outfile", [&] { return davUnlock(u, "urn:x", nullptr, 0); }},
        {"unlock token with CR LF", [&] { return davUnlock(u, "urn:x\r\nX-Injected: 1", o, 0); }},
        {"unlock token that is empty", [&] { return davUnlock(u, "", o, 0); }},
        {"lock url with a space", [&] { return davLock(urlSpace.c_str(), nullptr, o, 0, 60, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(QUODRA_REFUSED, c.call());
        EXPECT_FALSE(fileExists(outPath)) << "output file made";
    }
    peer::stopPeer(p);
    EXPECT_EQ(0u, peer::received(p).size()) << "a refused call connected";
    removeTree(work);
}

}  // namespace
