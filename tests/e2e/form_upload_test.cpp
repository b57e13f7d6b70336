// The form upload against PHP's own multipart parser: the field name, the
// file name and every byte must arrive as sent.
#include <gtest/gtest.h>

#include <map>

#include "files.h"
#include "quodra.h"
#include "servers.h"

namespace {

using namespace e2e;

class FormUpload : public ::testing::Test {
protected:
    void SetUp() override {
        work = makeTempDir("form");
        std::string why;
        ASSERT_TRUE(startPhp(server, work, why)) << why;
    }
    void TearDown() override {
        stopServer(server);
        if (!HasFailure()) removeTree(work);
        else std::fprintf(stderr, "kept %s\n", work.c_str());
    }
    Server server;
    std::string work;
};

// The upload script's report: "key: value" lines, an empty line, the bytes.
struct Report {
    std::map<std::string, std::string> lines;
    std::string bytes;
};

Report parse(const std::string& text) {
    Report r;
    size_t end = text.find("\n\n");
    std::string head = text.substr(0, end);
    if (end != std::string::npos) r.bytes = text.substr(end + 2);
    size_t at = 0;
    while (at < head.size()) {
        size_t eol = head.find('\n', at);
        if (eol == std::string::npos) eol = head.size();
        std::string line = head.substr(at, eol - at);
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            r.lines[line.substr(0, colon)] = line.substr(colon + 2);
        at = eol + 1;
    }
    return r;
}

TEST_F(FormUpload, FieldNameFileNameAndBytesArriveIntact) {
    struct Case {
        const char* fileName;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"upload.bin", patternBytes(300 * 1024, 21)},
        {"empty.txt", ""},
        {"name with spaces.dat", "short\r\n\r\ntext with a blank line"},
        // A file that tries to close its part with a boundary it guessed and
        // add a field of its own: the boundary is drawn for each upload, so
        // the file stays one part and no field appears.
        {"forged.txt", "x\r\n--rAndOmSTufF\r\nContent-Disposition: form-data; name=\"role\"\r\n"
                       "\r\nadmin\r\n--rAndOmSTufF--\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName);
        std::string dir = work + "/in-" + std::to_string(&c - cases.data());
        makeDir(dir);
        std::string in = dir + "/" + c.fileName;
        writeFile(in, c.bytes);
        std::string out = work + "/report";
        ASSERT_EQ(0, httpPostFile(urlFor(server.port, "/upload.php").c_str(),
                                  in.c_str(), out.c_str(), 0));
        std::string text = fileBytes(out);
        Report r = parse(text);
        EXPECT_EQ("1", r.lines["files"]) << text.substr(0, 400);
        EXPECT_EQ("0", r.lines["fields"]);
        EXPECT_EQ("uploadfile", r.lines["field"]);
        // The whole path goes out; the parser keeps its last component.
        EXPECT_EQ(c.fileName, r.lines["name"]);
        EXPECT_EQ("0", r.lines["error"]);
        EXPECT_EQ(std::to_string(c.bytes.size()), r.lines["size"]);
        EXPECT_TRUE(r.bytes == c.bytes) << "uploaded bytes differ";
    }
}

}  // namespace
