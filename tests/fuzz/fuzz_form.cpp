// Fuzz target: the form envelope around hostile file names.
//
// Input: a byte r (mod 64), r bytes the random source gives first, then the
// file name up to the first NUL.
//
// Oracle: the boundary is 32 letters and digits and is what the content
// type announces after a semicolon; the prologue is exactly its three lines
// and the empty line, with the name's base name (after its last '/' or
// backslash) in the filename parameter, its quote, CR and LF escaped (so no name adds a line, ends the parameter or forges a
// delimiter); the epilogue is the closing delimiter; the delimiter occurs
// once in the envelope; the announced length is the envelope and the file.
// Nothing is leaked.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "common/alloc.h"
#include "common/text.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "request/request.h"

using namespace quodra;

namespace {

std::string baseName(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string escaped(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '"') out += "%22";
        else if (c == '\r') out += "%0D";
        else if (c == '\n') out += "%0A";
        else out += c;
    }
    return out;
}

int64_t regularFileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t r = size > 0 ? data[0] % 64 : 0;
    std::string random = input.substr(size > 0 ? 1 : 0, r);
    std::string name = input.substr(std::min(size, 1 + r));
    name = name.substr(0, name.find('\0'));

    fake::reset();
    fake::state().randomScript = random;
    long live = qallocLive();
    RequestInfo* req = createRequest("http://server/up", METHOD_POST);
    FUZZ_CHECK(req != nullptr);
    req->inFile = copyText(name.c_str(), "infile");
    makeFormEncoding(req);
    calculateContentLength(req);
    makeHeaders(req);

    // The random source never fails here, and the drawn bytes that pick no
    // character are drawn again: every upload gets its boundary.
    FUZZ_CHECK(req->result == 0 && req->formHead && req->formFoot && req->contentType);
    const std::string type = req->contentType;
    const std::string prefix = "multipart/form-data; boundary=";
    FUZZ_CHECK(type.compare(0, prefix.size(), prefix) == 0);
    const std::string b = type.substr(prefix.size());
    FUZZ_CHECK(b.size() == 32);
    FUZZ_CHECK(b.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789") == std::string::npos);

    const std::string head = req->formHead;
    const std::string foot = req->formFoot;
    FUZZ_CHECK(head == "--" + b + "\r\nContent-Disposition: form-data; name=\"uploadfile\"; "
                                  "filename=\"" + escaped(baseName(name)) +
                           "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n");
    FUZZ_CHECK(count(head, "\r\n") == 4);
    FUZZ_CHECK(count(head, "\"") == 4);
    FUZZ_CHECK(foot == "\r\n--" + b + "--\r\n");
    FUZZ_CHECK(count(head + foot, "\r\n--" + b) == 1);
    const int64_t length = static_cast<int64_t>(head.size() + foot.size()) + regularFileSize(name);
    FUZZ_CHECK(req->bodyLength == length);
    const std::string headers = req->headers ? req->headers : "";
    FUZZ_CHECK(headers.find("\r\nContent-Length: " + std::to_string(length) + "\r\nContent-Type: " +
                            type + "\r\n\r\n") != std::string::npos);
    FUZZ_CHECK(headers.find("\r\n\r\n") == headers.size() - 4);

    destroyRequest(req);
    FUZZ_CHECK(qallocLive() == live);
    return 0;
}
