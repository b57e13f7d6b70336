// The call runs on a thread of its own because it blocks until its exchange
// ends, and the tool has a progress line to draw and a reply to pass on
// meanwhile. The httpLast... calls read the calling thread's last
// call, so they are asked on that same thread.
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

}  // namespace

CallResult runCall(const Invocation& inv, const std::string& input, const std::string& output,
                   const std::function<void()>& tick) {
    CallResult r;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread worker([&] {
        // The header lines are the calling thread's: set on this one (main
        // has checked that the library takes them).
        if (!inv.headers.empty()) httpSetOptionText(QUODRA_OPTION_HEADERS, inv.headers.c_str());
        auto began = std::chrono::steady_clock::now();
        r.result = callLibrary(inv, input.empty() ? nullptr : input.c_str(), output.c_str());
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
