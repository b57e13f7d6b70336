// The form envelope around an uploaded file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "request_fixture.h"

namespace {

const char epilogue[] = "\r\n--rAndOmSTufF--\r\n";
const char formType[] = "multipart/form-data, boundary=rAndOmSTufF";

std::string prologueFor(const std::string& written) {
    return "--rAndOmSTufF\r\n"
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
        req->infile = copyText(path.c_str(), "infile");
        makeFormEncoding(req);
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
    ASSERT_NE(req->formheader, nullptr);
    ASSERT_NE(req->formfooter, nullptr);
    EXPECT_EQ(std::string(req->formheader), prologueFor("C:\\up\\a.txt"));
    EXPECT_EQ(textLength(req->formheader), 127);
    EXPECT_EQ(std::string(req->formfooter), epilogue);
    EXPECT_EQ(textLength(req->formfooter), 19);
    EXPECT_STREQ(req->contenttype, formType);
    EXPECT_EQ(req->contentlength, 151);
    EXPECT_EQ(std::string(req->headers), standardBlock("server", "151", formType));
    EXPECT_TRUE(fake::state().boxes.empty());
    destroyRequest(req);
}

TEST_F(MultipartTest, EmptyFileStillAnnouncesTheEnvelope) {
    enterScratch();
    writeFile("empty.bin", "");
    RequestInfo* req = upload("empty.bin");
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(std::string(req->formheader), prologueFor("empty.bin"));
    EXPECT_EQ(req->contentlength, 116 + 9 + 19);
    EXPECT_EQ(std::string(req->headers), standardBlock("server", "144", formType));
    destroyRequest(req);
}

TEST_F(MultipartTest, QuoteAndLineBreaksInThePathAreEscaped) {
    struct {
        const char* path;
        const char* written;
    } cases[] = {
        {"a\"b", "a%22b"},
        {"evil\r\nContent-Type: text/html\r\n\r\nx",
         "evil%0D%0AContent-Type: text/html%0D%0A%0D%0Ax"},
        {"\"\"", "%22%22"},
        // Everything else is copied unchanged, '%' and high bytes included.
        {"100% sure;\\dir\\\xe9t\xe9.txt", "100% sure;\\dir\\\xe9t\xe9.txt"},
        {"%22", "%22"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        RequestInfo* req = upload(c.path);  // no such file: it counts 0
        ASSERT_NE(req, nullptr);
        std::string expected = prologueFor(c.written);
        EXPECT_EQ(std::string(req->formheader), expected);
        EXPECT_EQ(req->contentlength, static_cast<int64_t>(expected.size()) + 19);
        destroyRequest(req);
    }
}

TEST_F(MultipartTest, NothingIsBuiltWithoutAFileOrAfterAResult) {
    RequestInfo* req = createRequest("http://server/up", METHOD_POST);
    ASSERT_NE(req, nullptr);
    makeFormEncoding(req);
    EXPECT_EQ(req->formheader, nullptr);
    EXPECT_EQ(req->formfooter, nullptr);
    EXPECT_EQ(req->contenttype, nullptr);

    req->infile = copyText("x.txt", "infile");
    req->result = 5;
    makeFormEncoding(req);
    EXPECT_EQ(req->formheader, nullptr);
    EXPECT_EQ(req->formfooter, nullptr);
    EXPECT_EQ(req->contenttype, nullptr);
    destroyRequest(req);
}
