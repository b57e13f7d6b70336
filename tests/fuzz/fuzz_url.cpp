// Fuzz target: URL reading and request building, through the exported
// calls with the network played by the fake platform.
//
// Input: a selector byte (its low four bits: which call; its high four,
// read as a signed number: PROPFIND's depth, and LOCK's depth and timeout),
// then the URL up to the first NUL, then (MOVE, COPY) the destination or
// (UNLOCK) the lock token up to the next.
//
// Oracle: a URL read here on its own terms as [scheme "://" | "//"]
// authority [path] [?query] [#fragment], with authority [userinfo@]host[:port]
// ending at the first '/', '?' or '#', is refused with 1 (nothing sent, no
// window made) when it holds a space or a control byte, names a scheme
// other than http or https or text before "//" that is none, has an empty
// host, brackets around anything but an IPv6 address, a port that is not 1
// to 65535 in digits, a backslash in its authority, or userinfo that does
// not decode to bytes other than control bytes; so is a MOVE or COPY whose
// destination holds a control byte or userinfo, and an UNLOCK whose token,
// without one pair of angle brackets around it, is empty or holds a space,
// a control byte or a bracket. Any other call sends one well-formed head: a
// request line of exactly three fields naming the path and query (the root
// before a query or without a path, never the fragment), header lines
// without a stray CR or LF, the Host line with the host and the port unless
// it is the scheme's default (never the userinfo), the call's own lines
// (for a body, its length and XML type after the Host line), and one empty
// line, then exactly the body. The URL without its userinfo is the text
// with exactly "userinfo@" taken out. The peer closes without a reply: the
// output is never made. The request kept for httpLastRequest is the head
// sent. Nothing is leaked or left open.
#include <arpa/inet.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "api/last_call.h"
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

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// True when every escape of text is '%' and two hex digits and nothing
// decodes to a control byte.
bool decodes(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<unsigned char>(hi * 16 + lo);
            i += 2;
        }
        if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// What a URL names, read on its own terms; ok false: the call is refused.
struct Reading {
    bool ok = false;
    std::string hostLine;  // as the Host line writes it, port included
    std::string target;    // as the request line writes it
    std::string shown;     // the URL without "userinfo@"
};

Reading read(const std::string& url) {
    Reading r;
    if (url.empty() || hasControlOrSpace(url)) return r;
    size_t first = url.find_first_of("/?#");
    size_t start = 0;
    bool secure = false;
    if (first != std::string::npos && url.compare(first, 2, "//") == 0) {
        if (first > 0) {
            if (url[first - 1] != ':') return r;
            std::string scheme = lower(url.substr(0, first - 1));
            if (scheme != "http" && scheme != "https") return r;
            secure = scheme == "https";
        }
        start = first + 2;
    }
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    const std::string authority = url.substr(start, end - start);
    if (authority.find('\\') != std::string::npos) return r;
    size_t at = authority.rfind('@');
    std::string hostport = authority;
    r.shown = url;
    if (at != std::string::npos) {
        std::string userinfo = authority.substr(0, at);
        size_t colon = userinfo.find(':');
        if (!decodes(userinfo.substr(0, colon))) return r;
        if (colon != std::string::npos && !decodes(userinfo.substr(colon + 1))) return r;
        hostport = authority.substr(at + 1);
        r.shown = url.substr(0, start) + url.substr(start + at + 1);
    }
    std::string host, port;
    if (!hostport.empty() && hostport[0] == '[') {
        size_t close = hostport.find(']');
        if (close == std::string::npos) return r;
        unsigned char bytes[16];
        if (::inet_pton(AF_INET6, hostport.substr(1, close - 1).c_str(), bytes) != 1) return r;
        host = hostport.substr(0, close + 1);
        std::string rest = hostport.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return r;
        port = rest.empty() ? "" : rest.substr(1);
    } else {
        size_t colon = hostport.find(':');
        host = hostport.substr(0, colon);
        if (host.empty() || host.find_first_of("[]") != std::string::npos) return r;
        port = colon == std::string::npos ? "" : hostport.substr(colon + 1);
    }
    long number = secure ? 443 : 80;
    if (!port.empty()) {
        if (port.find_first_not_of("0123456789") != std::string::npos) return r;
        size_t digits = port.find_first_not_of('0');
        if (digits == std::string::npos || port.size() - digits > 5) return r;
        number = std::stol(port.substr(digits));
        if (number > 65535) return r;
    }
    r.hostLine = host + (number == (secure ? 443 : 80) ? "" : ":" + std::to_string(number));
    r.target = url.substr(end, url.find('#', end) - end);
    if (r.target.empty() || r.target[0] != '/') r.target = "/" + r.target;
    r.ok = true;
    return r;
}

// A destination names userinfo when its authority holds an '@'; one that
// begins with a single '/' has none.
bool destinationHasUserinfo(const std::string& dest) {
    size_t first = dest.find_first_of("/?#");
    size_t start = 0;
    if (first != std::string::npos && dest.compare(first, 2, "//") == 0) start = first + 2;
    else if (!dest.empty() && dest[0] == '/') return false;
    size_t end = dest.find_first_of("/?#", start);
    return dest.substr(start, end == std::string::npos ? std::string::npos : end - start)
               .find('@') != std::string::npos;
}

// The URI of a lock token: the token without one pair of angle brackets
// around it; ok false when that is empty or holds a space, a control byte
// or a bracket.
struct Token {
    bool ok = false;
    std::string uri;
};

Token readToken(const std::string& token) {
    Token t;
    std::string uri = token;
    if (uri.size() >= 2 && uri.front() == '<' && uri.back() == '>') uri = uri.substr(1, uri.size() - 2);
    if (uri.empty() || hasControlOrSpace(uri) || uri.find_first_of("<>") != std::string::npos)
        return t;
    t.ok = true;
    t.uri = uri;
    return t;
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

// httpLastRequest whole.
std::string lastRequest() {
    int len = httpLastRequest(nullptr, 0);
    std::string text(static_cast<size_t>(len) + 1, '\0');
    httpLastRequest(&text[0], len + 1);
    text.resize(static_cast<size_t>(len));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const uint8_t selector = size > 0 ? data[0] : 0;
    std::string rest = size > 0 ? input.substr(1) : "";
    const std::string url = rest.substr(0, rest.find('\0'));
    rest = rest.size() > url.size() ? rest.substr(url.size() + 1) : "";
    const std::string dest = rest.substr(0, rest.find('\0'));
    static const std::string outPath = fuzz::scratchPath("url-out.bin");
    const char* out = outPath.c_str();  // never made: no reply comes
    // The body file of PROPPATCH, and of a LOCK that names one.
    static const std::string bodyBytes = "<?xml version=\"1.0\"?>\n<x/>\n";
    static const std::string inPath = [] {
        std::string path = fuzz::scratchPath("url-in.xml");
        std::ofstream(path, std::ios::binary) << bodyBytes;
        return path;
    }();
    const char* in = inPath.c_str();
    // The body of a LOCK given none.
    static const std::string lockBody =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<D:lockinfo xmlns:D=\"DAV:\"><D:lockscope><D:exclusive/></D:lockscope>"
        "<D:locktype><D:write/></D:locktype><D:owner>Quodra/2.0.0</D:owner></D:lockinfo>\n";
    static const std::string xmlType = "Content-Type: application/xml; charset=\"utf-8\"\r\n";

    fake::reset();
    auto& s = fake::state();
    // The lookup's completion (no error, one address; ignored when the host
    // is numeric and nothing was looked up), the connect, then the peer's
    // close without a reply.
    s.incoming = {{nullptr, quodra::WM_HOSTNOTIFY, 0, 1},
                  {nullptr, quodra::WM_NETNOTIFY, 100, 16},
                  {nullptr, quodra::WM_NETNOTIFY, 100, 32}};
    // What the last call left to read (its URL) lives until the next call
    // starts: let go before the count.
    quodra::forgetLastCall();
    long live = quodra::qallocLive();

    const int depth = static_cast<int8_t>(selector) >> 4;  // -8 .. 7
    std::string method, own, body;
    int result;
    auto lockLines = [&] {
        own = depth == 0 ? "Depth: 0\r\n" : "Depth: infinity\r\n";
        if (depth > 0) own += "Timeout: Second-" + std::to_string(depth) + "\r\n";
        if (depth == 0) own += "Timeout: Infinite\r\n";
    };
    const int call = (selector & 15) % 12;
    switch (call) {
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
    case 7:
        method = "COPY";
        own = "Destination: " + dest + "\r\n";
        result = davCopy(url.c_str(), dest.c_str(), out, 0, 0, 0);
        break;
    case 8:
        method = "PROPPATCH";
        body = bodyBytes;
        result = davProppatch(url.c_str(), in, out, 0);
        break;
    case 9:
        method = "LOCK";
        lockLines();
        body = lockBody;
        result = davLock(url.c_str(), nullptr, out, depth, depth, 0);
        break;
    case 10:
        method = "LOCK";
        lockLines();
        result = davLock(url.c_str(), "", out, depth, depth, 0);
        break;
    default:
        method = "UNLOCK";
        own = "Lock-Token: <" + readToken(dest).uri + ">\r\n";
        result = davUnlock(url.c_str(), dest.c_str(), out, 0);
        break;
    }

    const Reading r = read(url);
    const bool moves = call == 6 || call == 7;
    bool refuse = !r.ok || (moves && (hasControl(dest) || destinationHasUserinfo(dest))) ||
                  (call == 11 && !readToken(dest).ok);
    // The URL a call that ran keeps for httpLastUrl: its own without the
    // userinfo; nothing for a call refused before it ran.
    std::vector<char> kept(static_cast<size_t>(httpLastUrl(nullptr, 0)) + 1);
    httpLastUrl(kept.data(), static_cast<int>(kept.size()));
    FUZZ_CHECK(std::string(kept.data()) == (refuse ? "" : r.shown));
    // What the call keeps for its caller, the request it sent among it,
    // lives until the next call; it is read and let go here.
    const std::string request = lastRequest();
    quodra::forgetLastCall();
    FUZZ_CHECK(quodra::qallocLive() == live);
    FUZZ_CHECK(liveHead() == nullptr);
    FUZZ_CHECK(s.createdWindows.size() == s.destroyedWindows.size());
    FUZZ_CHECK(s.openInputs == 0 && s.openOutputs == 0 && fake::queued() == 0);
    FUZZ_CHECK(fuzz::readAll(outPath).empty() && s.outOpens == 0);
    if (refuse) {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(s.sent.empty() && s.createdWindows.empty());
        FUZZ_CHECK(request.empty());
        return 0;
    }
    // The request kept for the caller is the head that went out, byte for
    // byte (this call sends no credentials that would be hidden in it).
    FUZZ_CHECK(request == s.sent.substr(0, s.sent.find("\r\n\r\n") + 4));
    // The head and the body went out whole; the peer's close without a
    // reply ends it.
    FUZZ_CHECK(result == quodra::RESULT_ENDED_EARLY);
    const size_t headEnd = s.sent.find("\r\n\r\n");
    FUZZ_CHECK(headEnd != std::string::npos && s.sent.substr(headEnd + 4) == body);
    std::vector<std::string> got = lines(s.sent.substr(0, headEnd + 2));
    for (const std::string& line : got)
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(got.size() >= 4);
    FUZZ_CHECK(got[0] == method + " " + r.target + " HTTP/1.0");
    std::string headers;
    for (size_t i = 1; i < got.size(); ++i) headers += got[i] + "\r\n";
    const std::string typed =
        body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n" + xmlType;
    FUZZ_CHECK(headers == own + "User-Agent: Quodra/2.0.0\r\nConnection: close\r\nHost: " +
                              r.hostLine + "\r\n" + typed);

    char* shown = quodra::urlWithoutUserinfo(url.c_str());
    FUZZ_CHECK(shown != nullptr && r.shown == shown);
    quodra::qfree(shown);
    FUZZ_CHECK(quodra::qallocLive() == live);
    return 0;
}
