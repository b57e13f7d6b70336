// The form upload against two multipart parsers of their own: PHP's, in
// the upload script of a real server, and Python's email package, fed the
// exact bytes the library sent to the scripted peer. The field name, the
// file's base name and every byte must arrive as sent; PHP also reports the
// Host and Content-Type lines it was given.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <map>

#include "files.h"
#include "peer/peer.h"
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

struct Case {
    const char* fileName;
    std::string bytes;
};

std::vector<Case> uploads() {
    return {
        {"upload.bin", patternBytes(300 * 1024, 21)},
        {"empty.txt", ""},
        {"name with spaces.dat", "short\r\n\r\ntext with a blank line"},
        // A file that tries to close its part with a boundary it guessed and
        // add a field of its own: the boundary is drawn for each upload, so
        // the file stays one part and no field appears.
        {"forged.txt", "x\r\n--rAndOmSTufF\r\nContent-Disposition: form-data; name=\"role\"\r\n"
                       "\r\nadmin\r\n--rAndOmSTufF--\r\n"},
    };
}

TEST_F(FormUpload, FieldNameFileNameAndBytesArriveIntact) {
    const std::vector<Case> cases = uploads();
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
        // Only the base name goes out, not the folders it lies in.
        EXPECT_EQ(c.fileName, r.lines["name"]);
        EXPECT_EQ(c.fileName, r.lines["path"]);
        EXPECT_EQ("127.0.0.1:" + std::to_string(server.port), r.lines["host"]);
        EXPECT_EQ("multipart/form-data; boundary=B", r.lines["type"]);
        EXPECT_EQ("0", r.lines["error"]);
        EXPECT_EQ(std::to_string(c.bytes.size()), r.lines["size"]);
        EXPECT_TRUE(r.bytes == c.bytes) << "uploaded bytes differ";
    }
}

// What Python's email package makes of a request: the report of
// tests/servers/form-check.py, run on the request's bytes in file.
std::string pythonReport(const std::string& file) {
    std::string command = "timeout 60 python3 '" + serversDir() + "/form-check.py' '" + file + "' 2>&1";
    std::string text;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        if (::pclose(f) != 0) text += "\n(form-check.py failed)";
    }
    return text;
}

// The same uploads, the exact bytes the library sent to the scripted peer,
// read by Python's email package as HTTP: a strict reader, which finds no
// boundary after a comma and takes a backslash in the file name for an
// escape.
TEST(FormParsers, PythonReadsTheBytesSentAsOneFilePart) {
    signal(SIGPIPE, SIG_IGN);
    const std::string work = makeTempDir("form-python");
    peer::Peer p;
    std::string why;
    const std::vector<Case> cases = uploads();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName);
        std::string dir = work + "/in-" + std::to_string(&c - cases.data());
        makeDir(dir);
        std::string in = dir + "/" + c.fileName;
        writeFile(in, c.bytes);
        ASSERT_TRUE(peer::startPeer(p, peer::recordAndAnswer(), 0, 0, &why)) << why;
        int result = httpPostFile(urlFor(p.port, "/up").c_str(), in.c_str(),
                                  (work + "/out").c_str(), 0);
        peer::stopPeer(p);
        ASSERT_EQ(0, result);
        std::vector<std::string> got = peer::received(p);
        ASSERT_EQ(1u, got.size());
        writeFile(work + "/request", got[0]);
        std::string text = pythonReport(work + "/request");
        Report r = parse(text);
        EXPECT_EQ("multipart/form-data; boundary=B", r.lines["type"]) << text.substr(0, 400);
        EXPECT_EQ("1", r.lines["files"]);
        EXPECT_EQ("0", r.lines["defects"]);
        EXPECT_EQ("uploadfile", r.lines["field"]);
        EXPECT_EQ(c.fileName, r.lines["name"]);
        EXPECT_EQ(std::to_string(c.bytes.size()), r.lines["size"]);
        EXPECT_TRUE(r.bytes == c.bytes) << "uploaded bytes differ";
    }
    if (!::testing::Test::HasFailure()) removeTree(work);
}

}  // namespace
