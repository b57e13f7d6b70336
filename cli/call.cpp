// The call runs on the tool's own thread: the library reports its progress
// from inside the call's message loop, on the thread that made it, and the
// httpLast... calls read that thread's last call. What must go on beside
// the call (passing a streamed reply on) has a thread of its own.
#include "call.h"

#include <chrono>
#include <cstring>

#include "quodra.h"

namespace cli {

namespace {

// visible is always 0: the tool draws its own progress line.
int callLibrary(const Invocation& inv, const std::string& inputPath, const char* output) {
    const char* url = inv.url.c_str();
    const char* dest = inv.destination.c_str();
    const char* input = inputPath.empty() ? nullptr : inputPath.c_str();
    switch (inv.command->method) {
    case METHOD_GET: return httpGet(url, output, 0);
    case METHOD_HEAD: return httpHead(url, output, 0);
    case METHOD_OPTIONS: return davOptions(url, output, 0);
    case METHOD_PROPFIND: return davPropfind(url, input, output, inv.depth, 0);
    case METHOD_PROPPATCH: return davProppatch(url, input, output, 0);
    // Without --body the library writes the body itself; --body '' sends none.
    case METHOD_LOCK:
        return davLock(url, inv.bodyGiven ? inputPath.c_str() : nullptr, output, inv.depth,
                       inv.timeout, 0);
    case METHOD_UNLOCK: return davUnlock(url, inv.token.c_str(), output, 0);
    case METHOD_PUT: return davPut(url, input, output, 0);
    case METHOD_POST: return httpPostFile(url, input, output, 0);
    case METHOD_MKCOL: return davMkcol(url, output, 0);
    case METHOD_DELETE: return davDelete(url, output, 0);
    case METHOD_MOVE: return davMove(url, dest, output, 0, 0, 0);
    case METHOD_COPY: return davCopy(url, dest, output, 0, 0, 0);
    }
    return QUODRA_REFUSED;
}

int QUODRA_API onProgress(void* context, double sent, double sendTotal, double received,
                          double receiveTotal) {
    const auto& report = *static_cast<const std::function<void(const Counts&)>*>(context);
    Counts c;
    c.sent = sent;
    c.sendTotal = sendTotal;
    c.received = received;
    c.receiveTotal = receiveTotal;
    report(c);
    return 0;  // the tool never cancels: its limits are the library's
}

// A text the library copies into a caller's buffer, whole.
std::string copied(int (QUODRA_API *give)(char*, int)) {
    int length = give(nullptr, 0);
    if (length <= 0) return "";
    std::string text(static_cast<size_t>(length) + 1, '\0');
    give(&text[0], length + 1);
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

CallResult runCall(const Invocation& inv, const std::string& input, const std::string& output,
                   const std::vector<std::string>& names,
                   const std::function<void(const Counts&)>& report) {
    CallResult r;
    httpSetProgress(onProgress, const_cast<std::function<void(const Counts&)>*>(&report));
    auto began = std::chrono::steady_clock::now();
    r.result = callLibrary(inv, input, output.c_str());
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    httpSetProgress(nullptr, nullptr);
    r.status = httpLastStatus();
    r.error = httpLastError();
    r.head = copied(httpLastHead);
    r.url = copied(httpLastUrl);
    r.why = copied(httpLastErrorText);
    r.request = copied(httpLastRequest);
    for (const std::string& name : names) {
        int n = httpLastHeader(name.c_str(), nullptr, 0);
        if (n < 0) continue;
        std::string value(static_cast<size_t>(n) + 1, '\0');
        httpLastHeader(name.c_str(), &value[0], n + 1);
        value.resize(static_cast<size_t>(n));
        r.headers[name] = value;
    }
    return r;
}

}  // namespace cli
