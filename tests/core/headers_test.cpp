// The header block of a request, byte for byte, and the body length it
// announces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/results.h"
#include "request_fixture.h"

using HeadersTest = RequestModelTest;

namespace {

// What prepareExchange does before the transfer starts.
void finish(RequestInfo* req) {
    EXPECT_EQ(openBody(req), 0);
    calculateContentLength(req);
    makeHeaders(req);
}

std::string headersOf(const RequestInfo* req) {
    return req->headers ? req->headers : "(null)";
}

}  // namespace

TEST_F(HeadersTest, GetCarriesOnlyTheStandardLines) {
    RequestInfo* req = createRequest("http://server/a", METHOD_GET);
    ASSERT_NE(req, nullptr);
    finish(req);
    EXPECT_EQ(req->bodyLength, 0);
    EXPECT_EQ(headersOf(req),
              "User-Agent: Quodra/2.0.0\r\nConnection: close\r\nHost: server\r\n\r\n");
    destroyRequest(req);
}

// The Host line names the port when it is not the scheme's default, and
// never the userinfo.
TEST_F(HeadersTest, HostLineNamesAPortOtherThanTheDefault) {
    const struct {
        const char* url;
        const char* host;
    } cases[] = {
        {"http://server/a", "server"},
        {"http://server:80/a", "server"},
        {"http://server:0080/a", "server"},
        {"http://server:/a", "server"},
        {"http://server:8080/a", "server:8080"},
        {"http://server:443/a", "server:443"},
        {"https://server/a", "server"},
        {"https://server:443/a", "server"},
        {"https://server:80/a", "server:80"},
        {"https://server:8443/a", "server:8443"},
        {"server:81/a", "server:81"},
        {"Server.Example:1/a", "Server.Example:1"},
        {"http://server:65535?q", "server:65535"},
        {"http://[::1]:8080/a", "[::1]:8080"},
        {"http://[::1]:80/a", "[::1]"},
        {"https://[2001:db8::1]/a", "[2001:db8::1]"},
        {"https://[2001:db8::1]:80/a", "[2001:db8::1]:80"},
        {"http://user:pw@server:8080/a", "server:8080"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        RequestInfo* req = createRequest(c.url, METHOD_GET);
        ASSERT_NE(req, nullptr);
        finish(req);
        EXPECT_EQ(headersOf(req), standardBlock(c.host));
        destroyRequest(req);
    }
}

TEST_F(HeadersTest, CallLinesComeFirstThenTheLengthOfTheBody) {
    std::string body = writeFile("query.xml", std::string(300, 'x'));
    RequestInfo* req = createRequest("http://server/dir/", METHOD_PROPFIND);
    ASSERT_NE(req, nullptr);
    addHeaders(req, "Depth: 1\r\n");
    addHeaders(req, "Content-Type: text/xml\r\n");
    req->inFile = copyText(body.c_str(), "infile");
    finish(req);
    EXPECT_EQ(req->bodyLength, 300);
    // contenttype stays null, so the standard block adds no type of its own.
    EXPECT_EQ(headersOf(req), "Depth: 1\r\nContent-Type: text/xml\r\n" +
                                  standardBlock("server", "300"));
    destroyRequest(req);
}

TEST_F(HeadersTest, FormUploadAnnouncesEnvelopeAndFile) {
    std::string body = writeFile("a.txt", "hello");
    RequestInfo* req = createRequest("http://server/up", METHOD_POST);
    ASSERT_NE(req, nullptr);
    req->inFile = copyText(body.c_str(), "infile");
    makeFormEncoding(req);
    finish(req);
    // The part names the file by its base name, "a.txt".
    int64_t expected = 137 + 5 + 5 + 40;
    EXPECT_EQ(req->bodyLength, expected);
    EXPECT_EQ(headersOf(req),
              standardBlock("server", std::to_string(expected),
                            "multipart/form-data; boundary=" + kFirstBoundary));
    destroyRequest(req);
}

// A body the library writes itself (a LOCK's) is announced and labelled as
// a body file is; without a body, the label stays off the wire.
TEST_F(HeadersTest, OwnBodyIsAnnouncedAndLabelledLikeAFile) {
    for (bool own : {true, false}) {
        SCOPED_TRACE(own ? "own body" : "no body");
        RequestInfo* req = createRequest("http://server/a", METHOD_LOCK);
        ASSERT_NE(req, nullptr);
        if (own) req->ownBody = "<lockinfo/>";
        setContentType(req, "application/xml");
        finish(req);
        EXPECT_EQ(req->bodyLength, own ? 11 : 0);
        EXPECT_EQ(headersOf(req), own ? standardBlock("server", "11", "application/xml")
                                      : standardBlock("server"));
        destroyRequest(req);
    }
}

TEST_F(HeadersTest, LengthIsWrittenAsFullUnsignedValue) {
    struct {
        int64_t length;
        const char* text;
    } cases[] = {
        {1, "1"},
        {0xFFFFFFFFll, "4294967295"},
        {0x100000000ll, "4294967296"},
        {5ll << 30, "5368709120"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RequestInfo* req = createRequest("http://server/a", METHOD_PUT);
        ASSERT_NE(req, nullptr);
        req->bodyLength = c.length;
        makeHeaders(req);
        EXPECT_EQ(headersOf(req), standardBlock("server", c.text));
        destroyRequest(req);
    }
}

// The size of an open file, as the fake reads it from the descriptor.
int64_t sizeOfFile(const std::string& path) {
    int fd = plat::openRead(path.c_str());
    int64_t size = getFileSize(fd);
    if (fd >= 0) plat::closeFile(fd);
    return size;
}

TEST_F(HeadersTest, FileSizeIsSixtyFourBits) {
    EXPECT_EQ(getFileSize(-1), 0);
    EXPECT_EQ(sizeOfFile(writeFile("empty", "")), 0);
    EXPECT_EQ(sizeOfFile(writeFile("five", "12345")), 5);

    // A sparse file past 4 GiB takes no disk space.
    std::string big = dir() + "/big";
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const int64_t size = (5ll << 30) + 3;
    int rc = ::ftruncate(fd, size);
    ::close(fd);
    if (rc != 0) GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ(sizeOfFile(big), size);

    RequestInfo* req = createRequest("http://server/a", METHOD_PUT);
    ASSERT_NE(req, nullptr);
    req->inFile = copyText(big.c_str(), "infile");
    finish(req);
    EXPECT_EQ(headersOf(req), standardBlock("server", "5368709123"));
    destroyRequest(req);
}

TEST_F(HeadersTest, NoBodyMeansNoLengthLine) {
    RequestInfo* req = createRequest("http://server/a", METHOD_PUT);
    ASSERT_NE(req, nullptr);
    // A length left from before is recomputed, not kept.
    req->bodyLength = 99;
    calculateContentLength(req);
    EXPECT_EQ(req->bodyLength, 0);

    // An empty file, and one that cannot be opened (the exchange is then
    // refused before anything is sent).
    const struct {
        std::string path;
        int opened;
    } files[] = {{writeFile("empty", ""), 0}, {dir() + "/missing", RESULT_NO_INPUT}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        qfree(req->inFile);
        req->inFile = copyText(f.path.c_str(), "infile");
        EXPECT_EQ(openBody(req), f.opened);
        calculateContentLength(req);
        EXPECT_EQ(req->bodyLength, 0);
        if (req->inFd >= 0) plat::closeFile(req->inFd);
        req->inFd = -1;
    }
    // A content type without a body file gives no type line.
    qfree(req->inFile);
    req->inFile = nullptr;
    setContentType(req, "text/plain");
    EXPECT_STREQ(req->contentType, "text/plain");
    makeHeaders(req);
    EXPECT_EQ(headersOf(req), standardBlock("server"));
    destroyRequest(req);
}

TEST_F(HeadersTest, AddHeadersAppendsExactly) {
    RequestInfo* req = createRequest("http://server/a", METHOD_MOVE);
    ASSERT_NE(req, nullptr);
    addHeaders(req, nullptr);
    EXPECT_EQ(req->headers, nullptr);
    addHeaders(req, "Destination: http://server/b\r\n");
    EXPECT_EQ(headersOf(req), "Destination: http://server/b\r\n");
    addHeaders(req, "");
    addHeaders(req, "A: 1\r\n");
    EXPECT_EQ(headersOf(req), "Destination: http://server/b\r\nA: 1\r\n");
    destroyRequest(req);
}

TEST_F(HeadersTest, RecordedResultStopsComposition) {
    std::string body = writeFile("five", "12345");
    RequestInfo* req = createRequest("http://server/a", METHOD_POST);
    ASSERT_NE(req, nullptr);
    addHeaders(req, "A: 1\r\n");
    req->inFile = copyText(body.c_str(), "infile");
    req->bodyLength = 7;
    req->result = 3;

    addHeaders(req, "B: 2\r\n");
    setContentType(req, "text/plain");
    makeFormEncoding(req);
    calculateContentLength(req);
    makeHeaders(req);
    EXPECT_EQ(headersOf(req), "A: 1\r\n");
    EXPECT_EQ(req->contentType, nullptr);
    EXPECT_EQ(req->formHead, nullptr);
    EXPECT_EQ(req->formFoot, nullptr);
    EXPECT_EQ(req->bodyLength, 7);

    // Nor does anything happen without a record.
    addHeaders(nullptr, "A: 1\r\n");
    setContentType(nullptr, "x");
    calculateContentLength(nullptr);
    makeHeaders(nullptr);
    makeFormEncoding(nullptr);
    destroyRequest(req);
}
