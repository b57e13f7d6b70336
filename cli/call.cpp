// The call runs on a thread of its own because it blocks until its exchange
// ends, and the tool has a progress line to draw and a reply to pass on
// meanwhile. The httpLast... calls read the calling thread's last call, so
// they are asked on that same thread.
#include "call.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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

}  // namespace

CallResult runCall(const Invocation& inv, const std::string& input, const std::string& output,
                   const std::vector<std::string>& names, const std::function<void()>& tick) {
    CallResult r;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread worker([&] {
        // The header lines are the calling thread's: set on this one (main
        // has checked that the library takes them).
        if (!inv.headers.empty()) httpSetOptionText(QUODRA_OPTION_HEADERS, inv.headers.c_str());
        auto began = std::chrono::steady_clock::now();
        r.result = callLibrary(inv, input, output.c_str());
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        r.status = httpLastStatus();
        r.error = httpLastError();
        int length = httpLastHead(nullptr, 0);
        if (length > 0) {
            std::string head(static_cast<size_t>(length) + 1, '\0');
            httpLastHead(&head[0], length + 1);
            head.resize(static_cast<size_t>(length));
            r.head = head;
        }
        length = httpLastUrl(nullptr, 0);
        if (length > 0) {
            std::string url(static_cast<size_t>(length) + 1, '\0');
            httpLastUrl(&url[0], length + 1);
            url.resize(static_cast<size_t>(length));
            r.url = url;
        }
        for (const std::string& name : names) {
            int n = httpLastHeader(name.c_str(), nullptr, 0);
            if (n < 0) continue;
            std::string value(static_cast<size_t>(n) + 1, '\0');
            httpLastHeader(name.c_str(), &value[0], n + 1);
            value.resize(static_cast<size_t>(n));
            r.headers[name] = value;
        }
        std::lock_guard<std::mutex> hold(mu);
        done = true;
        cv.notify_one();
    });
    {
        std::unique_lock<std::mutex> hold(mu);
        while (!done) {
            cv.wait_for(hold, std::chrono::milliseconds(200));
            if (done) break;
            hold.unlock();
            tick();
            hold.lock();
        }
    }
    worker.join();
    return r;
}

}  // namespace cli
