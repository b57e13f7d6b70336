// The form envelope around an uploaded file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "common/results.h"
#include "request_fixture.h"

namespace {

const std::string epilogue = "\r\n--" + kFirstBoundary + "--\r\n";
const std::string formType = "multipart/form-data; boundary=" + kFirstBoundary;

std::string prologueFor(const std::string& written) {
    return "--" + kFirstBoundary + "\r\n"
           "Content-Disposition: form-data; name=\"uploadfile\"; filename=\"" +
           written + "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n";
}

}  // namespace

class MultipartTest : public RequestModelTest {
protected:
    // Relative paths are resolved in the scratch directory.
    void enterScratch() {
        ASSERT_NE(getcwd(home, sizeof home), nullptr);
        ASSERT_EQ(chdir(dir().c_str()), 0);
        moved = true;
    }
    void TearDown() override {
        if (moved) {
            EXPECT_EQ(chdir(home), 0);
        }
        RequestModelTest::TearDown();
    }

    RequestInfo* upload(const std::string& path) {
        RequestInfo* req = createRequest("http://server/up", METHOD_POST);
        if (!req) return nullptr;
        req->inFile = copyText(path.c_str(), "infile");
        makeFormEncoding(req);
        openBody(req);
        calculateContentLength(req);
        makeHeaders(req);
        return req;
    }

    char home[PATH_MAX] = "";
    bool moved = false;
};

TEST_F(MultipartTest, EnvelopeOfAWindowsPath) {
    enterScratch();
    writeFile("C:\\up\\a.txt", "hello");
    RequestInfo* req = upload("C:\\up\\a.txt");
    ASSERT_NE(req, nullptr);
    ASSERT_NE(req->formHead, nullptr);
    ASSERT_NE(req->formFoot, nullptr);
    EXPECT_EQ(std::string(req->formHead), prologueFor("a.txt"));
    EXPECT_EQ(textLength(req->formHead), 142);
    EXPECT_EQ(std::string(req->formFoot), epilogue);
    EXPECT_EQ(textLength(req->formFoot), 40);
    EXPECT_EQ(std::string(req->contentType), formType);
    EXPECT_EQ(req->bodyLength, 187);
    EXPECT_EQ(std::string(req->headers), standardBlock("server", "187", formType));
    EXPECT_TRUE(fake::state().boxes.empty());
    destroyRequest(req);
}

TEST_F(MultipartTest, EmptyFileStillAnnouncesTheEnvelope) {
    enterScratch();
    writeFile("empty.bin", "");
    RequestInfo* req = upload("empty.bin");
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(std::string(req->formHead), prologueFor("empty.bin"));
    EXPECT_EQ(req->bodyLength, 137 + 9 + 40);
    EXPECT_EQ(std::string(req->headers), standardBlock("server", "186", formType));
    destroyRequest(req);
}

TEST_F(MultipartTest, QuoteAndLineBreaksInThePathAreEscaped) {
    struct {
        const char* path;
        const char* written;
    } cases[] = {
        {"a\"b", "a%22b"},
        {"evil\r\nContent-Type: text\r\n\r\nx",
         "evil%0D%0AContent-Type: text%0D%0A%0D%0Ax"},
        {"\"\"", "%22%22"},
        // Everything else is copied unchanged, '%' and high bytes included.
        {"100% sure;\xe9t\xe9.txt", "100% sure;\xe9t\xe9.txt"},
        {"%22", "%22"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        fake::reset();  // the same boundary for each case
        RequestInfo* req = upload(c.path);  // no such file: it counts 0
        ASSERT_NE(req, nullptr);
        std::string expected = prologueFor(c.written);
        EXPECT_EQ(std::string(req->formHead), expected);
        EXPECT_EQ(req->bodyLength, static_cast<int64_t>(expected.size() + epilogue.size()));
        destroyRequest(req);
    }
}

// The part names the file by its base name, whichever platform wrote the
// path: the folders are the caller's own business.
TEST_F(MultipartTest, FileIsNamedByItsBaseName) {
    struct {
        const char* path;
        const char* written;
    } cases[] = {
        {"/home/me/a.txt", "a.txt"},
        {"C:\\up\\a.txt", "a.txt"},
        {"C:/up\\mixed/b.txt", "b.txt"},
        {"\\\\server\\share\\c.txt", "c.txt"},
        {"rel/dir/d.txt", "d.txt"},
        {"e.txt", "e.txt"},
        {"dir/", ""},
        {"a\"b/c\r\nd", "c%0D%0Ad"},
        {"x/\"q\".txt", "%22q%22.txt"},
        {"C:a.txt", "C:a.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        fake::reset();  // the same boundary for each case
        RequestInfo* req = upload(c.path);  // no such file: it counts 0
        ASSERT_NE(req, nullptr);
        std::string expected = prologueFor(c.written);
        EXPECT_EQ(std::string(req->formHead), expected);
        EXPECT_EQ(req->bodyLength, static_cast<int64_t>(expected.size() + epilogue.size()));
        destroyRequest(req);
    }
}

TEST_F(MultipartTest, BoundaryIsDrawnFreshFromTheRandomSource) {
    // Each random byte's low six bits pick a character of [A-Za-z0-9];
    // 62 and 63 pick none and are drawn again.
    struct Case {
        std::string random;
        std::string boundary;
    } cases[] = {
        {std::string("\x00\x19\x1a\x33\x34\x3d", 6) + std::string(26, '\x40'),
         "AZaz09" + std::string(26, 'A')},
        {std::string("\x3e\x3f\xfe\xff\x7f\x01", 6) + std::string(26, '\x02') +
             std::string(32, '\x03'),
         "B" + std::string(26, 'C') + std::string(5, 'D')},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::state().randomScript = c.random;
        char boundary[FORM_BOUNDARY_LENGTH + 1];
        ASSERT_TRUE(drawBoundary(boundary));
        EXPECT_EQ(std::string(boundary), c.boundary);
    }

    // Two uploads never share one: each envelope carries its own.
    fake::reset();
    RequestInfo* a = upload("a.txt");
    RequestInfo* b = upload("a.txt");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::string first = std::string(a->contentType).substr(30);
    std::string second = std::string(b->contentType).substr(30);
    EXPECT_EQ(first, kFirstBoundary);
    EXPECT_NE(second, first);
    EXPECT_EQ(second.size(), static_cast<size_t>(FORM_BOUNDARY_LENGTH));
    EXPECT_EQ(std::string(b->formHead), "--" + second + prologueFor("a.txt").substr(34));
    EXPECT_EQ(std::string(b->formFoot), "\r\n--" + second + "--\r\n");
    destroyRequest(a);
    destroyRequest(b);
}

TEST_F(MultipartTest, RandomSourceThatFailsRefusesTheUpload) {
    fake::state().randomFails = true;
    RequestInfo* req = upload("a.txt");
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->result, RESULT_REFUSED);
    EXPECT_EQ(req->formHead, nullptr);
    EXPECT_EQ(req->headers, nullptr);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"Could not get random bytes"});
    destroyRequest(req);
    // A source giving only bytes that pick no character is no better.
    fake::reset();
    fake::state().randomScript = std::string(8 * FORM_BOUNDARY_LENGTH, '\x3f');
    char boundary[FORM_BOUNDARY_LENGTH + 1];
    EXPECT_FALSE(drawBoundary(boundary));
}

TEST_F(MultipartTest, NothingIsBuiltWithoutAFileOrAfterAResult) {
    RequestInfo* req = createRequest("http://server/up", METHOD_POST);
    ASSERT_NE(req, nullptr);
    makeFormEncoding(req);
    EXPECT_EQ(req->formHead, nullptr);
    EXPECT_EQ(req->formFoot, nullptr);
    EXPECT_EQ(req->contentType, nullptr);

    req->inFile = copyText("x.txt", "infile");
    req->result = 5;
    makeFormEncoding(req);
    EXPECT_EQ(req->formHead, nullptr);
    EXPECT_EQ(req->formFoot, nullptr);
    EXPECT_EQ(req->contentType, nullptr);
    destroyRequest(req);
}
