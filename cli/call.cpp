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
int callLibrary(const Invocation& inv, const char* input, const char* output) {
    const char* url = inv.url.c_str();
    const char* dest = inv.destination.c_str();
    std::string name = inv.command->name;
    if (name == "get") return httpGet(url, output, 0);
    if (name == "head") return httpHead(url, output, 0);
    if (name == "options") return davOptions(url, output, 0);
    if (name == "propfind") return davPropfind(url, input, output, inv.depth, 0);
    if (name == "put") return davPut(url, input, output, 0);
    if (name == "post") return httpPostFile(url, input, output, 0);
    if (name == "mkcol") return davMkcol(url, output, 0);
    if (name == "delete") return davDelete(url, output, 0);
    if (name == "move") return davMove(url, dest, output, 0, 0, 0);
    return davCopy(url, dest, output, 0, 0, 0);
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
                   const std::function<void(const Counts&)>& report) {
    CallResult r;
    httpSetProgress(onProgress, const_cast<std::function<void(const Counts&)>*>(&report));
    auto began = std::chrono::steady_clock::now();
    r.result = callLibrary(inv, input.empty() ? nullptr : input.c_str(), output.c_str());
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    httpSetProgress(nullptr, nullptr);
    r.status = httpLastStatus();
    r.error = httpLastError();
    r.head = copied(httpLastHead);
    r.why = copied(httpLastErrorText);
    r.request = copied(httpLastRequest);
    return r;
}

}  // namespace cli
