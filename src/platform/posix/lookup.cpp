// Host lookups. By name: getaddrinfo on a small pool of worker threads; by
// address: answered at once with the address itself. Either way the outcome
// is posted to the window's queue, and the hostent reaches the caller's
// buffer only when the window's own thread takes the message (queue.cpp).
// A window destroyed first drops the message, so its buffer is never
// touched. The workers are joined when the last user cleans up and at exit.
#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

constexpr size_t kMaxWorkers = 4;

struct Job {
    Handle task;
    uintptr_t hwnd;
    unsigned msg;
    char* buf;
    int buflen;
    std::string name;
};

struct Pool {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Job> jobs;
    std::vector<std::thread> workers;
    size_t idle = 0;
    bool stopping = false;
    std::vector<Handle> running;    // taken by a worker, not yet completed
    std::vector<Handle> cancelled;  // running lookups whose outcome is unwanted
};

Pool& pool() {
    static Pool* p = new Pool;  // outlives the static destructors below
    return *p;
}

std::atomic<Handle> nextTask{1};

Handle newTask() {
    Handle t = nextTask++;
    if (t == 0) t = nextTask++;  // 0 means "not started"
    return t;
}

size_t alignUp(uintptr_t base, size_t off, size_t a) {
    uintptr_t p = (base + off + a - 1) & ~static_cast<uintptr_t>(a - 1);
    return static_cast<size_t>(p - base);
}

struct Layout {
    size_t aliases, list, addrs, name, total;
};

Layout layout(uintptr_t base, const HostResult& r) {
    Layout l;
    l.aliases = alignUp(base, sizeof(HostEnt), alignof(char*));
    l.list = l.aliases + sizeof(char*);
    l.addrs = l.list + (r.addrs.size() + 1) * sizeof(char*);
    l.name = l.addrs + 4 * r.addrs.size();
    l.total = l.name + r.name.size() + 1;
    return l;
}

// Queues the completion for the window's thread; dropped when the window is
// gone. A failed lookup carries no result, and so writes nothing.
void complete(uintptr_t hwnd, unsigned msg, Handle task, int error,
              std::shared_ptr<const HostResult> result, char* buf, int buflen) {
    // Held to the end, so that a cancel sees the lookup either running or
    // queued, never in between.
    Pool& p = pool();
    std::lock_guard<std::mutex> poolHold(p.mu);
    auto run = std::find(p.running.begin(), p.running.end(), task);
    if (run != p.running.end()) p.running.erase(run);
    auto it = std::find(p.cancelled.begin(), p.cancelled.end(), task);
    if (it != p.cancelled.end()) {
        p.cancelled.erase(it);
        return;
    }
    uint16_t size = 0;
    if (!error) {
        size_t need = hostEntSize(reinterpret_cast<uintptr_t>(buf), *result);
        size = static_cast<uint16_t>(need > 0xFFFF ? 0xFFFF : need);
        if (buflen < 0 || need > static_cast<size_t>(buflen)) error = kErrNoBufs;
    }
    Entry e;
    uint32_t word = (static_cast<uint32_t>(error & 0xFFFF) << 16) | size;
    e.msg = Msg{reinterpret_cast<Hwnd>(hwnd), msg, static_cast<WParam>(task),
                static_cast<LParam>(word)};
    e.lookup = task;
    if (!error) {
        e.host = std::move(result);
        e.buf = buf;
        e.buflen = buflen;
    }
    std::shared_ptr<Queue> q;
    {
        Global& g = global();
        std::shared_lock<std::shared_mutex> hold(g.lock);
        Window* w = findWindow(g, hwnd);
        if (!w) return;
        q = w->queue;
        std::lock_guard<std::mutex> qhold(q->mu);
        q->entries.push_back(std::move(e));
    }
    if (q->thread != std::this_thread::get_id()) wake(*q);
}

void resolve(const Job& job) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(job.name.c_str(), nullptr, &hints, &list);
    int saved = errno;
    auto result = std::make_shared<HostResult>();
    int error = errorFromLookup(rc, saved);
    if (!error) {
        result->name = list && list->ai_canonname ? list->ai_canonname : job.name;
        for (addrinfo* a = list; a; a = a->ai_next) {
            if (a->ai_family != AF_INET || !a->ai_addr) continue;
            uint32_t addr;
            std::memcpy(&addr, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
            bool seen = false;
            for (uint32_t x : result->addrs) seen = seen || x == addr;
            if (!seen) result->addrs.push_back(addr);
        }
        if (result->addrs.empty()) error = kErrNoData;
    }
    if (list) ::freeaddrinfo(list);
    complete(job.hwnd, job.msg, job.task, error, std::move(result), job.buf, job.buflen);
}

void work() {
    Pool& p = pool();
    std::unique_lock<std::mutex> hold(p.mu);
    for (;;) {
        ++p.idle;
        p.cv.wait(hold, [&] { return p.stopping || !p.jobs.empty(); });
        --p.idle;
        if (p.stopping) return;
        Job job = std::move(p.jobs.front());
        p.jobs.pop_front();
        p.running.push_back(job.task);
        hold.unlock();
        resolve(job);
        hold.lock();
    }
}

bool windowExists(uintptr_t hwnd) {
    Global& g = global();
    std::shared_lock<std::shared_mutex> hold(g.lock);
    return findWindow(g, hwnd) != nullptr;
}

// Joins the workers when the process ends without a last clean-up.
struct JoinAtExit {
    ~JoinAtExit() { stopLookups(); }
} joinAtExit;

}  // namespace

size_t hostEntSize(uintptr_t base, const HostResult& r) { return layout(base, r).total; }

bool writeHostEnt(const HostResult& r, char* buf, int buflen) {
    if (!buf || buflen < 0) return false;
    uintptr_t base = reinterpret_cast<uintptr_t>(buf);
    Layout l = layout(base, r);
    if (l.total > static_cast<size_t>(buflen)) return false;
    char* none = nullptr;
    std::memcpy(buf + l.aliases, &none, sizeof none);
    for (size_t i = 0; i < r.addrs.size(); ++i) {
        char* at = buf + l.addrs + 4 * i;
        std::memcpy(at, &r.addrs[i], 4);
        std::memcpy(buf + l.list + i * sizeof(char*), &at, sizeof at);
    }
    std::memcpy(buf + l.list + r.addrs.size() * sizeof(char*), &none, sizeof none);
    std::memcpy(buf + l.name, r.name.c_str(), r.name.size() + 1);
    HostEnt he;
    he.h_name = buf + l.name;
    he.h_aliases = reinterpret_cast<char**>(buf + l.aliases);
    he.h_addrtype = 2;
    he.h_length = 4;
    he.h_addr_list = reinterpret_cast<char**>(buf + l.list);
    std::memcpy(buf, &he, sizeof he);
    return true;
}

void stopLookups() {
    Pool& p = pool();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> hold(p.mu);
        p.stopping = true;
        p.jobs.clear();
        workers.swap(p.workers);
    }
    p.cv.notify_all();
    for (std::thread& t : workers)
        if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
    std::lock_guard<std::mutex> hold(p.mu);
    p.stopping = false;
}

}  // namespace posix

using namespace posix;

Handle WSAAsyncGetHostByName(Hwnd hwnd, unsigned msg, const char* name, char* buf,
                             int buflen) {
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    if (!name || !buf || !windowExists(h)) {
        setLastError(kErrInvalid);
        return 0;
    }
    Handle task = newTask();
    Pool& p = pool();
    {
        std::lock_guard<std::mutex> hold(p.mu);
        if (p.stopping) {  // cleaning up: nothing new starts
            setLastError(kErrNotInitialised);
            return 0;
        }
        if (p.idle == 0 && p.workers.size() < kMaxWorkers) {
            try {
                p.workers.emplace_back(work);
            } catch (const std::system_error&) {
                if (p.workers.empty()) {  // no thread will ever take the job
                    setLastError(kErrNoBufs);
                    return 0;
                }
            }
        }
        p.jobs.push_back(Job{task, h, msg, buf, buflen, name});
    }
    p.cv.notify_one();
    return task;
}

Handle WSAAsyncGetHostByAddr(Hwnd hwnd, unsigned msg, const char* addr, int len,
                             int type, char* buf, int buflen) {
    uintptr_t h = reinterpret_cast<uintptr_t>(hwnd);
    if (type != 2) {
        setLastError(kErrAfNoSupport);
        return 0;
    }
    if (!addr || len != 4 || !buf || !windowExists(h)) {
        setLastError(kErrInvalid);
        return 0;
    }
    auto result = std::make_shared<HostResult>();
    uint32_t a;
    std::memcpy(&a, addr, 4);
    result->addrs.push_back(a);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(addr);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    result->name = text;
    Handle task = newTask();
    complete(h, msg, task, 0, std::move(result), buf, buflen);
    return task;
}

// A queued lookup is dropped; a running one is marked so that its outcome is
// thrown away; a finished one still waiting in this thread's queue is
// removed, so its hostent is never written. One already taken (or unknown)
// cannot be cancelled.
int WSACancelAsyncRequest(Handle task) {
    if (!task) {
        setLastError(kErrInvalid);
        return -1;
    }
    Pool& p = pool();
    {
        std::lock_guard<std::mutex> hold(p.mu);
        auto queued = std::find_if(p.jobs.begin(), p.jobs.end(),
                                   [task](const Job& j) { return j.task == task; });
        if (queued != p.jobs.end()) {
            p.jobs.erase(queued);
            return 0;
        }
        if (std::find(p.running.begin(), p.running.end(), task) != p.running.end() &&
            std::find(p.cancelled.begin(), p.cancelled.end(), task) == p.cancelled.end()) {
            p.cancelled.push_back(task);
            return 0;
        }
        if (std::shared_ptr<Queue> q = currentQueue()) {
            std::lock_guard<std::mutex> qhold(q->mu);
            auto& es = q->entries;
            auto done = std::find_if(es.begin(), es.end(),
                                     [task](const Entry& e) { return e.lookup == task; });
            if (done != es.end()) {
                es.erase(done);
                return 0;
            }
        }
    }
    setLastError(kErrAlready);
    return -1;
}

}  // namespace plat
