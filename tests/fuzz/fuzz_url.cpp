// Fuzz target: URL splitting and request building, through the exported
// calls with the network played by the fake platform.
//
// Input: a selector byte (which call; for PROPFIND also the depth), then the
// URL up to the first NUL, then (MOVE, COPY) the destination up to the next.
//
// Oracle: a URL without a usable host (none, or brackets without their mate
// or an IPv6 form) or holding a space or a control byte (or a
// destination holding a control byte) is refused with 1, with nothing sent
// and no window made; any other call sends one well-formed head: a request
// line of exactly three fields naming the URL's path, header lines without a
// stray CR or LF, the Host line with the URL's host, the call's own lines,
// and one empty line at its very end. Nothing is leaked or left open.
#include <cstdint>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "quodra.h"
#include "request/request.h"
#include "transfer/transfer.h"

namespace {

// The head of this thread's live list (read as the core tests do, out of
// reach of a spurious null check of the thread-local).
__attribute__((noinline, no_sanitize("null"))) quodra::RequestInfo* liveHead() {
    return quodra::liveRequests;
}

bool hasControlOrSpace(const std::string& s) {
    for (unsigned char c : s)
        if (c <= 0x20 || c == 0x7F) return true;
    return false;
}

bool hasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// The host (as the Host line writes it) and path the URL names, by the
// reading rule: after the first "//" if there is one, the host runs to ':',
// '/' or the end and holds no bracket; or it is "[...]" holding a ':' and
// neither '[' nor '/', followed by ':', '/' or the end. The path is from the
// first '/' after the host's start. An empty host: none to use.
void split(const std::string& url, std::string* host, std::string* path) {
    size_t slashes = url.find("//");
    size_t start = slashes == std::string::npos ? 0 : slashes + 2;
    host->clear();
    if (url.compare(start, 1, "[") == 0) {
        size_t close = url.find_first_of("[]/", start + 1);
        bool whole = close != std::string::npos && url[close] == ']' &&
                     url.find(':', start) < close &&
                     (close + 1 == url.size() || url[close + 1] == ':' || url[close + 1] == '/');
        if (whole) *host = url.substr(start, close + 1 - start);
    } else {
        size_t end = url.find_first_of(":/", start);
        std::string h = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (h.find_first_of("[]") == std::string::npos) *host = h;
    }
    size_t p = url.find('/', start);
    *path = p == std::string::npos ? "/" : url.substr(p);
}

std::vector<std::string> lines(const std::string& head) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t eol = head.find("\r\n"); eol != std::string::npos; eol = head.find("\r\n", at)) {
        out.push_back(head.substr(at, eol - at));
        at = eol + 2;
    }
    FUZZ_CHECK(at == head.size());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const uint8_t selector = size > 0 ? data[0] : 0;
    std::string rest = size > 0 ? input.substr(1) : "";
    const std::string url = rest.substr(0, rest.find('\0'));
    rest = rest.size() > url.size() ? rest.substr(url.size() + 1) : "";
    const std::string dest = rest.substr(0, rest.find('\0'));
    const char* out = "/nonexistent-dir-of-quodra-fuzz/out";  // never made: nothing is stored

    fake::reset();
    auto& s = fake::state();
    // The lookup's completion (no error, one address; ignored when the host
    // is numeric and nothing was looked up), then the connect.
    s.incoming = {{nullptr, quodra::WM_HOSTNOTIFY, 0, 1},
                  {nullptr, quodra::WM_NETNOTIFY, 100, 16}};
    long live = quodra::qallocLive();

    const int depth = static_cast<int8_t>(selector) >> 3;  // -16 .. 15
    std::string method, own;
    int result;
    switch (selector & 7) {
    case 0: method = "GET"; result = httpGet(url.c_str(), out, 0); break;
    case 1: method = "HEAD"; result = httpHead(url.c_str(), out, 0); break;
    case 2: method = "OPTIONS"; result = davOptions(url.c_str(), out, 0); break;
    case 3: method = "DELETE"; result = davDelete(url.c_str(), out, 0); break;
    case 4: method = "MKCOL"; result = davMkcol(url.c_str(), out, 0); break;
    case 5:
        method = "PROPFIND";
        if (depth >= 0) own = "Depth: " + std::to_string(depth) + "\r\n";
        result = davPropfind(url.c_str(), nullptr, out, depth, 0);
        break;
    case 6:
        method = "MOVE";
        own = "Destination: " + dest + "\r\n";
        result = davMove(url.c_str(), dest.c_str(), out, 0, 0, 0);
        break;
    default:
        method = "COPY";
        own = "Destination: " + dest + "\r\n";
        result = davCopy(url.c_str(), dest.c_str(), out, 0, 0, 0);
        break;
    }

    std::string host, path;
    split(url, &host, &path);
    bool refuse = host.empty() || hasControlOrSpace(url) ||
                  ((selector & 7) >= 6 && hasControl(dest));
    FUZZ_CHECK(quodra::qallocLive() == live);
    FUZZ_CHECK(liveHead() == nullptr);
    FUZZ_CHECK(s.createdWindows.size() == s.destroyedWindows.size());
    FUZZ_CHECK(s.openInputs == 0 && s.openOutputs == 0 && fake::queued() == 0);
    if (refuse) {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(s.sent.empty() && s.createdWindows.empty());
        return 0;
    }
    // The head went out whole; the output cannot be made, which ends it.
    FUZZ_CHECK(result == quodra::RESULT_NO_OUTPUT);
    FUZZ_CHECK(s.sent.size() >= 4 && s.sent.find("\r\n\r\n") == s.sent.size() - 4);
    std::vector<std::string> got = lines(s.sent.substr(0, s.sent.size() - 2));
    for (const std::string& line : got)
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(got.size() >= 4);
    FUZZ_CHECK(got[0] == method + " " + path + " HTTP/1.0");
    std::string headers;
    for (size_t i = 1; i < got.size(); ++i) headers += got[i] + "\r\n";
    FUZZ_CHECK(headers == own + "User-Agent: Quodra/2.0.0\r\nConnection: close\r\nHost: " + host +
                              "\r\n");
    return 0;
}
