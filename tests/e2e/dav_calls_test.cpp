// The WebDAV and HTTP calls against two real WebDAV servers of class 2
// (lighttpd with its property and lock database, also over TLS, and Apache
// with its lock database), with their effects checked on the server's disk,
// in the output files and in the replies' status and lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <set>

#include "certs.h"
#include "files.h"
#include "quodra.h"
#include "server_test.h"
#include "servers.h"

namespace {

using namespace e2e;

struct DavServer {
    const char* name;
    bool (*start)(Server&, const std::string& docroot, const std::string& workdir,
                  std::string& why);
    // Null for a server the suite cannot do without; otherwise false with the
    // reason when the server is not installed here, and its cases skip.
    bool (*installed)(std::string& why);
    bool https;  // URLs and destinations are https
};

bool startLighttpdOverTls(Server& s, const std::string& docroot, const std::string& workdir,
                          std::string& why) {
    const std::string& certs = testCerts(&why);
    return !certs.empty() && startLighttpdTls(s, docroot, workdir, certs, why);
}

const DavServer SERVERS[] = {
    {"lighttpd", startLighttpd, nullptr, false},
    {"lighttpd_tls", startLighttpdOverTls, nullptr, true},
    {"apache", startApache, apacheInstalled, false},
};

// Names the server in the test list instead of dumping the record's bytes.
void PrintTo(const DavServer& s, std::ostream* os) { *os << s.name; }

class DavCalls : public ServerTest<DavServer> {
protected:
    std::string url(const std::string& path) const {
        return GetParam().https ? secureUrlFor(server.port, path) : urlFor(server.port, path);
    }
    std::string served(const std::string& path) const { return docroot + path; }
    std::string local(const std::string& name) const { return work + "/" + name; }
};

struct Content {
    const char* name;
    std::string bytes;
};

std::vector<Content> contents() {
    return {{"binary", patternBytes(300 * 1024, 11)},
            {"empty", ""},
            {"text", "line one\r\nline two\n"}};
}

TEST_P(DavCalls, GetStoresTheBodyByteForByte) {
    for (const Content& c : contents()) {
        SCOPED_TRACE(c.name);
        std::string path = std::string("/") + c.name + ".bin";
        writeFile(served(path), c.bytes);
        std::string out = local(std::string("get-") + c.name);
        EXPECT_EQ(0, httpGet(url(path).c_str(), out.c_str(), 0));
        EXPECT_TRUE(fileBytes(out) == c.bytes) << "output differs for " << c.name;
    }
}

TEST_P(DavCalls, GetOfMissingResourceStoresTheErrorPage) {
    std::string out = local("missing");
    EXPECT_EQ(0, httpGet(url("/no-such-file").c_str(), out.c_str(), 0));
    EXPECT_NE(std::string::npos, fileBytes(out).find("404 Not Found"));
}

TEST_P(DavCalls, HeadCreatesAnEmptyOutputFile) {
    // The server announces the resource's full length and sends no body.
    writeFile(served("/big.bin"), patternBytes(200 * 1024, 12));
    std::string out = local("head");
    writeFile(out, "stale");
    EXPECT_EQ(0, httpHead(url("/big.bin").c_str(), out.c_str(), 0));
    EXPECT_TRUE(fileExists(out));
    EXPECT_EQ("", fileBytes(out));
}

TEST_P(DavCalls, PutStoresTheFileOnTheServer) {
    writeFile(served("/existing.bin"), "to be replaced");
    std::vector<Content> cases = contents();
    cases.push_back({"existing", patternBytes(5000, 13)});
    for (const Content& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = local(std::string("put-in-") + c.name);
        writeFile(in, c.bytes);
        std::string path = std::string("/") + c.name + ".bin";
        std::string out = local(std::string("put-out-") + c.name);
        EXPECT_EQ(0, davPut(url(path).c_str(), in.c_str(), out.c_str(), 0));
        EXPECT_TRUE(fileBytes(served(path)) == c.bytes) << "server copy differs";
        EXPECT_TRUE(fileExists(out));
    }
}

// A body file that cannot be sent stops the call before anything goes out:
// the server's copy is never replaced by an empty body.
TEST_P(DavCalls, PutOfAFileThatCannotBeSentLeavesTheServersCopy) {
    writeFile(served("/kept.bin"), "the server's copy");
    const std::string fifo = local("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    makeDir(local("folder"));
    for (const std::string& in : {local("missing"), local("folder"), fifo, std::string("/dev/null"),
                                  std::string("")}) {
        SCOPED_TRACE(in);
        std::string out = local("put-out");
        EXPECT_EQ(QUODRA_NO_INPUT, davPut(url("/kept.bin").c_str(), in.c_str(), out.c_str(), 0));
        EXPECT_EQ(0, httpLastStatus());
        EXPECT_EQ("the server's copy", fileBytes(served("/kept.bin")));
        EXPECT_FALSE(fileExists(out));
    }
}

// An output that can never be made stops the call before anything goes out:
// the server does not carry out what the call reports as failed.
TEST_P(DavCalls, CallWithAnImpossibleOutputLeavesTheServerAlone) {
    writeFile(served("/kept.bin"), "the server's copy");
    for (const std::string& out : {local("no-such-dir/out"), work}) {
        SCOPED_TRACE(out);
        EXPECT_EQ(QUODRA_NO_OUTPUT, davDelete(url("/kept.bin").c_str(), out.c_str(), 0));
        EXPECT_EQ(QUODRA_NO_OUTPUT, davMove(url("/kept.bin").c_str(), url("/moved.bin").c_str(),
                                            out.c_str(), 0, 0, 0));
        EXPECT_EQ("the server's copy", fileBytes(served("/kept.bin")));
        EXPECT_FALSE(fileExists(served("/moved.bin")));
    }
}

TEST_P(DavCalls, MkcolCreatesCollectionsAndDeleteRemovesThem) {
    std::string out = local("out");
    ASSERT_EQ(0, davMkcol(url("/col/").c_str(), out.c_str(), 0));
    ASSERT_TRUE(isDirectory(served("/col")));
    ASSERT_EQ(0, davMkcol(url("/col/inner/").c_str(), out.c_str(), 0));
    ASSERT_TRUE(isDirectory(served("/col/inner")));
    writeFile(served("/col/inner/f.txt"), "x");
    writeFile(served("/lone.txt"), "y");

    EXPECT_EQ(0, davDelete(url("/lone.txt").c_str(), out.c_str(), 0));
    EXPECT_FALSE(fileExists(served("/lone.txt")));
    EXPECT_EQ(0, davDelete(url("/col/").c_str(), out.c_str(), 0));
    EXPECT_FALSE(fileExists(served("/col")));
}

TEST_P(DavCalls, MoveAndCopyActOnTheServer) {
    const std::string data = patternBytes(70 * 1000, 14);
    std::string out = local("out");
    struct Case {
        const char* what;
        std::function<int(const char*, const char*)> call;
        bool sourceStays;
    };
    // The two ignored arguments take odd values: they must change nothing.
    std::vector<Case> cases = {
        {"move", [&](const char* u, const char* d) { return davMove(u, d, out.c_str(), 0, 0, 0); }, false},
        {"move, odd ignored values", [&](const char* u, const char* d) { return davMove(u, d, out.c_str(), -1, 0x7fffffff, 0); }, false},
        {"copy", [&](const char* u, const char* d) { return davCopy(u, d, out.c_str(), 0, 0, 0); }, true},
        {"copy, odd ignored values", [&](const char* u, const char* d) { return davCopy(u, d, out.c_str(), 12345, -99, 0); }, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string from = "/src" + std::to_string(n) + ".bin";
        std::string to = "/dst" + std::to_string(n++) + ".bin";
        writeFile(served(from), data);
        // The Destination names the port, as the Host line does: lighttpd
        // compares the two authorities.
        EXPECT_EQ(0, c.call(url(from).c_str(), url(to).c_str()));
        EXPECT_EQ(c.sourceStays, fileExists(served(from)));
        EXPECT_TRUE(fileBytes(served(to)) == data) << "destination differs";
    }
}

// The caller's header lines reach the server: "Overwrite: F" makes a COPY
// or MOVE onto an existing resource fail with 412 and leave it alone;
// without the lines the same call replaces it. (Each case has files of its
// own: lighttpd may copy by a hard link.)
TEST_P(DavCalls, CallerLinesReachTheServer) {
    std::string out = local("out");
    struct Case {
        const char* what;
        std::function<int(const char*, const char*)> call;
    } cases[] = {
        {"copy", [&](const char* u, const char* d) { return davCopy(u, d, out.c_str(), 0, 0, 0); }},
        {"move", [&](const char* u, const char* d) { return davMove(u, d, out.c_str(), 0, 0, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string from = std::string("/") + c.what + "-from.txt";
        const std::string to = std::string("/") + c.what + "-to.txt";
        writeFile(served(from), "new");
        writeFile(served(to), "old");
        ASSERT_EQ(0, httpSetOptionText(QUODRA_OPTION_HEADERS, "Overwrite: F"));
        EXPECT_EQ(0, c.call(url(from).c_str(), url(to).c_str()));
        EXPECT_EQ(412, httpLastStatus());
        EXPECT_EQ("old", fileBytes(served(to)));
        EXPECT_TRUE(fileExists(served(from)));
        ASSERT_EQ(0, httpSetOptionText(QUODRA_OPTION_HEADERS, nullptr));
        EXPECT_EQ(0, c.call(url(from).c_str(), url(to).c_str()));
        EXPECT_EQ(204, httpLastStatus());
        EXPECT_EQ("new", fileBytes(served(to)));
    }
}

TEST_P(DavCalls, OptionsSucceedsWithoutBody) {
    std::string out = local("options");
    EXPECT_EQ(0, davOptions(url("/").c_str(), out.c_str(), 0));
    EXPECT_TRUE(fileExists(out));
    EXPECT_EQ("", fileBytes(out));
}

std::set<std::string> hrefs(const std::string& multistatus) {
    std::set<std::string> out;
    static const std::regex href("<D:href>([^<]*)</D:href>");
    for (std::sregex_iterator it(multistatus.begin(), multistatus.end(), href), end;
         it != end; ++it)
        out.insert((*it)[1]);
    return out;
}

TEST_P(DavCalls, PropfindHonoursDepthAndBody) {
    makeDir(served("/col"));
    makeDir(served("/col/sub"));
    writeFile(served("/col/a.txt"), "aaa");
    writeFile(served("/col/sub/b.txt"), "bbbb");
    std::string xml = local("props.xml");
    writeFile(xml,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:getcontentlength/>"
              "</D:prop></D:propfind>\n");
    const std::set<std::string> self = {"/col/"};
    const std::set<std::string> children = {"/col/", "/col/a.txt", "/col/sub/"};
    const std::set<std::string> tree = {"/col/", "/col/a.txt", "/col/sub/", "/col/sub/b.txt"};

    struct Case {
        int depth;
        const char* body;  // null: no body file; "" an empty path; else xml
        std::set<std::string> expected;
    };
    const std::vector<Case> cases = {
        {0, nullptr, self},   {1, nullptr, children}, {-1, nullptr, tree},
        {0, "xml", self},     {1, "xml", children},   {-1, "xml", tree},
        {1, "", children},
    };
    // lighttpd writes DAV: properties with the D: prefix, Apache with a
    // prefix of its own per response (lp1:).
    static const std::regex contentLength3("<(\\w+):getcontentlength>3</\\1:getcontentlength>");
    for (const Case& c : cases) {
        bool withBody = c.body && *c.body;
        SCOPED_TRACE("depth " + std::to_string(c.depth) +
                     (withBody ? ", body" : c.body ? ", empty path" : ", no body"));
        std::string out = local("propfind");
        const char* in = withBody ? xml.c_str() : c.body;
        ASSERT_EQ(0, davPropfind(url("/col/").c_str(), in, out.c_str(), c.depth, 0));
        std::string reply = fileBytes(out);
        EXPECT_NE(std::string::npos, reply.find("<D:multistatus")) << reply;
        EXPECT_EQ(c.expected, hrefs(reply));
        if (c.expected.count("/col/a.txt")) {
            EXPECT_TRUE(std::regex_search(reply, contentLength3)) << reply;
        }
        // Without a body the server lists every property; the body asks for one.
        EXPECT_EQ(!withBody, reply.find("getetag") != std::string::npos);
    }
}

// A dead property set by PROPPATCH is what PROPFIND reads back, its
// non-ASCII value unchanged (the body is labelled UTF-8); removed, it is
// gone.
TEST_P(DavCalls, ProppatchSetsAndRemovesADeadProperty) {
    writeFile(served("/note.txt"), "text");
    const std::string ns = "xmlns:D=\"DAV:\" xmlns:Q=\"urn:quodra:test\"";
    const std::string set = local("set.xml"), remove = local("remove.xml"), ask = local("ask.xml");
    writeFile(set, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propertyupdate " + ns +
                       "><D:set><D:prop><Q:note>caf\xc3\xa9 au lait</Q:note></D:prop></D:set>"
                       "</D:propertyupdate>\n");
    writeFile(remove, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propertyupdate " + ns +
                          "><D:remove><D:prop><Q:note/></D:prop></D:remove></D:propertyupdate>\n");
    writeFile(ask, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propfind " + ns +
                       "><D:prop><Q:note/></D:prop></D:propfind>\n");
    static const std::regex noted(">caf\xc3\xa9 au lait</");
    const std::string out = local("out"), found = local("found");
    for (bool setting : {true, false}) {
        SCOPED_TRACE(setting ? "set" : "removed");
        ASSERT_EQ(0, davProppatch(url("/note.txt").c_str(), (setting ? set : remove).c_str(),
                                  out.c_str(), 0));
        // A multistatus for each property, or (lighttpd) 204 when all went well.
        EXPECT_TRUE(httpLastStatus() == 207 || httpLastStatus() == 204) << httpLastStatus();
        EXPECT_EQ(std::string::npos, fileBytes(out).find("HTTP/1.1 4")) << fileBytes(out);
        ASSERT_EQ(0, davPropfind(url("/note.txt").c_str(), ask.c_str(), found.c_str(), 0, 0));
        EXPECT_EQ(207, httpLastStatus());
        EXPECT_EQ(setting, std::regex_search(fileBytes(found), noted)) << fileBytes(found);
    }
    EXPECT_EQ("text", fileBytes(served("/note.txt"))) << "the content changed";
}

// The lock's token, as the reply's Lock-Token line gives it: a URI in
// angle brackets.
std::string lastLockToken() {
    int n = httpLastHeader("Lock-Token", nullptr, 0);
    if (n <= 0) return "";
    std::string token(static_cast<size_t>(n) + 1, '\0');
    httpLastHeader("Lock-Token", &token[0], n + 1);
    token.resize(static_cast<size_t>(n));
    return token;
}

// A file locked with the library's own body: a write without the token is
// refused, the lock is released with its token (given without its
// brackets), and the same write then goes through.
TEST_P(DavCalls, LockKeepsOthersOutUntilUnlocked) {
    writeFile(served("/doc.txt"), "first");
    const std::string out = local("out"), in = local("in");
    writeFile(in, "second");
    ASSERT_EQ(0, davLock(url("/doc.txt").c_str(), nullptr, out.c_str(), 0, 60, 0));
    ASSERT_EQ(200, httpLastStatus()) << fileBytes(out);
    const std::string token = lastLockToken();
    ASSERT_GT(token.size(), 2u);
    ASSERT_EQ('<', token.front());
    ASSERT_EQ('>', token.back());
    const std::string uri = token.substr(1, token.size() - 2);
    // The reply describes the lock the library's body asked for.
    const std::string granted = fileBytes(out);
    EXPECT_NE(std::string::npos, granted.find(uri)) << granted;
    EXPECT_NE(std::string::npos, granted.find("exclusive/>")) << granted;
    EXPECT_NE(std::string::npos, granted.find("write/>")) << granted;

    EXPECT_EQ(0, davPut(url("/doc.txt").c_str(), in.c_str(), out.c_str(), 0));
    EXPECT_EQ(423, httpLastStatus());
    EXPECT_EQ("first", fileBytes(served("/doc.txt")));

    EXPECT_EQ(0, davUnlock(url("/doc.txt").c_str(), uri.c_str(), out.c_str(), 0));
    EXPECT_EQ(204, httpLastStatus());
    EXPECT_EQ(0, davPut(url("/doc.txt").c_str(), in.c_str(), out.c_str(), 0));
    EXPECT_EQ(204, httpLastStatus());
    EXPECT_EQ("second", fileBytes(served("/doc.txt")));
}

// A collection locked at depth 0 covers itself, at depth infinity also its
// members: a member's write without the token is refused only then.
TEST_P(DavCalls, LockOfACollectionCoversItsMembersAtDepthInfinity) {
    const std::string out = local("out"), in = local("in");
    writeFile(in, "changed");
    for (int depth : {0, -1}) {
        SCOPED_TRACE(depth == 0 ? "depth 0" : "depth infinity");
        const std::string col = depth == 0 ? "/flat/" : "/deep/";
        ASSERT_EQ(0, davMkcol(url(col).c_str(), out.c_str(), 0));
        ASSERT_EQ(0, davPut(url(col + "member.txt").c_str(), in.c_str(), out.c_str(), 0));
        ASSERT_EQ(0, davLock(url(col).c_str(), nullptr, out.c_str(), depth, 0, 0));
        ASSERT_EQ(200, httpLastStatus()) << fileBytes(out);
        const std::string token = lastLockToken();
        ASSERT_FALSE(token.empty());
        EXPECT_NE(std::string::npos,
                  fileBytes(out).find(depth == 0 ? ">0</" : ">infinity</")) << fileBytes(out);

        EXPECT_EQ(0, davPut(url(col + "member.txt").c_str(), in.c_str(), out.c_str(), 0));
        EXPECT_EQ(depth == 0 ? 204 : 423, httpLastStatus());

        EXPECT_EQ(0, davUnlock(url(col).c_str(), token.c_str(), out.c_str(), 0));
        EXPECT_EQ(204, httpLastStatus());
        EXPECT_EQ(0, davPut(url(col + "member.txt").c_str(), in.c_str(), out.c_str(), 0));
        EXPECT_EQ(204, httpLastStatus());
    }
}

// Sets this thread's own header lines for the calls that follow, and
// clears them when it goes.
struct CallerLines {
    explicit CallerLines(const std::string& lines) {
        EXPECT_EQ(0, httpSetOptionText(QUODRA_OPTION_HEADERS, lines.c_str())) << lines;
    }
    ~CallerLines() { httpSetOptionText(QUODRA_OPTION_HEADERS, nullptr); }
};

// Writes under a lock carry its token in an If line of the caller's own:
// with it a PUT and a PROPPATCH are taken, also on a member of a collection
// locked at depth infinity, and a LOCK without a body refreshes the lock;
// without it they are refused until the lock is released. A COPY told
// Overwrite: F leaves its destination alone.
TEST_P(DavCalls, WritesUnderALockCarryItsTokenInAnIfLine) {
    const std::string out = local("out"), in = local("in"), patch = local("patch.xml");
    writeFile(in, "second");
    writeFile(patch, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propertyupdate "
                     "xmlns:D=\"DAV:\" xmlns:Q=\"urn:quodra:test\"><D:set><D:prop>"
                     "<Q:note>locked</Q:note></D:prop></D:set></D:propertyupdate>\n");
    ASSERT_EQ(0, davMkcol(url("/col/").c_str(), out.c_str(), 0));
    for (const std::string& target : {std::string("/doc.txt"), std::string("/col/")}) {
        SCOPED_TRACE(target);
        const bool collection = target.back() == '/';
        const std::string file = collection ? target + "member.txt" : target;
        ASSERT_EQ(0, davPut(url(file).c_str(), in.c_str(), out.c_str(), 0));
        writeFile(in, "third");
        ASSERT_EQ(0, davLock(url(target).c_str(), nullptr, out.c_str(), collection ? -1 : 0, 60, 0));
        ASSERT_EQ(200, httpLastStatus()) << fileBytes(out);
        const std::string token = lastLockToken();
        ASSERT_FALSE(token.empty());
        {
            CallerLines withToken("If: (" + token + ")");
            EXPECT_EQ(0, davPut(url(file).c_str(), in.c_str(), out.c_str(), 0));
            EXPECT_EQ(204, httpLastStatus());
            EXPECT_EQ("third", fileBytes(served(file)));
            EXPECT_EQ(0, davProppatch(url(file).c_str(), patch.c_str(), out.c_str(), 0));
            EXPECT_TRUE(httpLastStatus() == 204 || httpLastStatus() == 207) << httpLastStatus();
            // A refresh: no body, a new timeout, the same lock (no new token).
            EXPECT_EQ(0, davLock(url(target).c_str(), "", out.c_str(), collection ? -1 : 0, 120, 0));
            EXPECT_EQ(200, httpLastStatus()) << fileBytes(out);
            EXPECT_NE(std::string::npos, fileBytes(out).find("Second-120")) << fileBytes(out);
            EXPECT_EQ(-1, httpLastHeader("Lock-Token", nullptr, 0));
        }
        EXPECT_EQ(0, davPut(url(file).c_str(), in.c_str(), out.c_str(), 0));
        EXPECT_EQ(423, httpLastStatus()) << "the refresh let the lock go";
        EXPECT_EQ(0, davProppatch(url(file).c_str(), patch.c_str(), out.c_str(), 0));
        EXPECT_EQ(423, httpLastStatus());
        EXPECT_EQ(0, davUnlock(url(target).c_str(), token.c_str(), out.c_str(), 0));
        EXPECT_EQ(204, httpLastStatus());
    }

    writeFile(served("/other.txt"), "other");
    CallerLines noOverwrite("Overwrite: F");
    EXPECT_EQ(0, davCopy(url("/doc.txt").c_str(), url("/other.txt").c_str(), out.c_str(), 0, 0, 0));
    EXPECT_EQ(412, httpLastStatus());
    EXPECT_EQ("other", fileBytes(served("/other.txt")));
}

INSTANTIATE_TEST_SUITE_P(Servers, DavCalls, ::testing::ValuesIn(SERVERS),
                         [](const ::testing::TestParamInfo<DavServer>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
