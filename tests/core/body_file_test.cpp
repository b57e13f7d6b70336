// The body file of a request: opened for each exchange before anything is
// sent, refused unless it is a regular file, and announced with the size of
// the file opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/results.h"
#include "request_fixture.h"

namespace {

using BodyFileTest = RequestModelTest;

TEST_F(BodyFileTest, OnlyARegularFileOpens) {
    const std::string fifo = dir() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        int method;
        std::string inFile;  // "-": none
        bool form;           // the request carries a form envelope
        int opened;
        int64_t length;      // the body length announced once opened
        const char* ownBody = nullptr;  // the library's own body, in place of a file
    };
    const Case cases[] = {
        {"regular file", METHOD_PUT, writeFile("in.bin", "12345"), false, 0, 5},
        {"empty regular file", METHOD_PUT, writeFile("empty.bin", ""), false, 0, 0},
        {"no file part", METHOD_GET, "-", false, 0, 0},
        {"form around a file", METHOD_POST, writeFile("up.txt", "abc"), true, 0, 6 + 3 + 3},
        {"missing file", METHOD_PUT, dir() + "/missing", false, RESULT_NO_INPUT, 0},
        {"empty path", METHOD_PUT, "", false, RESULT_NO_INPUT, 0},
        {"a directory", METHOD_PUT, dir(), false, RESULT_NO_INPUT, 0},
        {"a FIFO (no writer: the open must not wait)", METHOD_PUT, fifo, false, RESULT_NO_INPUT, 0},
        {"a device", METHOD_PROPFIND, "/dev/null", false, RESULT_NO_INPUT, 0},
        {"a form that names no file", METHOD_POST, "-", true, RESULT_NO_INPUT, 0},
        {"the library's own body", METHOD_LOCK, "-", false, 0, 11, "<lockinfo/>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        RequestInfo* req = createRequest("http://server/a", c.method);
        ASSERT_NE(req, nullptr);
        if (c.inFile != "-") req->inFile = copyText(c.inFile.c_str(), "infile");
        req->ownBody = c.ownBody;
        if (c.form) {
            req->formHead = copyText("[head]", "formheader");
            req->formFoot = copyText("[f]", "formfooter");
        }
        EXPECT_EQ(openBody(req), c.opened);
        EXPECT_EQ(req->inFd >= 0, c.opened == 0 && c.inFile != "-");
        EXPECT_EQ(fake::state().openInputs, req->inFd >= 0 ? 1 : 0);
        if (c.opened == 0) {
            calculateContentLength(req);
            EXPECT_EQ(req->bodyLength, c.length);
        }
        destroyRequest(req);
        EXPECT_EQ(fake::state().openInputs, 0) << "destroying the record closes its file";
    }
}

// The length announced is that of the file that will be sent: a name that
// comes to stand for another file after the open changes nothing.
TEST_F(BodyFileTest, LengthIsTheOpenFilesNotTheNames) {
    const std::string path = writeFile("in.bin", "first contents");
    RequestInfo* req = createRequest("http://server/a", METHOD_PUT);
    ASSERT_NE(req, nullptr);
    req->inFile = copyText(path.c_str(), "infile");
    ASSERT_EQ(openBody(req), 0);
    const std::string other = writeFile("other.bin", "second, longer contents");
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
    calculateContentLength(req);
    EXPECT_EQ(req->bodyLength, 14);
    char buf[64];
    EXPECT_EQ(plat::readFile(req->inFd, buf, sizeof buf), 14);
    EXPECT_EQ(std::string(buf, 14), "first contents");
    // Opening again keeps the file already open.
    ASSERT_EQ(openBody(req), 0);
    EXPECT_EQ(fake::state().openInputs, 1);
    destroyRequest(req);
}

}  // namespace
