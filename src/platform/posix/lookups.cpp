// Host lookups. By name: getaddrinfo on a small pool of worker threads; by
// address: answered at once with the address itself. The window must be the
// calling thread's; the lookup keeps that thread's mailbox, and the outcome
// is left there (thread.cpp), so a worker never needs to find the window.
// The hostent reaches the caller's buffer only when the window's own thread
// takes the message (messages.cpp); a window destroyed first drops it, so
// its buffer is never touched. The workers are joined when the last user
// cleans up and at exit.
#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "posix_internal.h"

namespace plat {
namespace posix {

namespace {

constexpr size_t kMaxWorkers = 4;

struct Job {
    Handle task;                       // the caller's handle of the lookup
    std::shared_ptr<Mailbox> mailbox;  // the calling thread's
    uintptr_t hwnd;                    // window the completion is for
    unsigned msg;                      // its message number
    char* buf;                         // where the hostent goes
    int buflen;                        // ... and its size
    std::string name;                  // the name to resolve
};

struct Pool {
    std::mutex mu;                     // guards everything below
    std::condition_variable cv;        // a job is queued, or stopping
    std::deque<Job> jobs;              // not yet taken by a worker
    std::vector<std::thread> workers;  // at most kMaxWorkers
    size_t idle = 0;                   // workers waiting for a job
    bool stopping = false;             // clean-up: workers leave, nothing starts
    std::vector<Handle> running;       // taken by a worker, not yet completed
    std::vector<Handle> cancelled;     // running lookups whose outcome is unwanted
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

// Leaves the completion in the calling thread's mailbox. A failed lookup
// carries no result, and so writes nothing.
void complete(const Job& job, int error, std::shared_ptr<const HostResult> result) {
    // Held to the end, so that a cancel sees the lookup either running or
    // delivered, never in between.
    Pool& p = pool();
    std::lock_guard<std::mutex> poolHold(p.mu);
    auto run = std::find(p.running.begin(), p.running.end(), job.task);
    if (run != p.running.end()) p.running.erase(run);
    auto it = std::find(p.cancelled.begin(), p.cancelled.end(), job.task);
    if (it != p.cancelled.end()) {
        p.cancelled.erase(it);
        return;
    }
    uint16_t size = 0;
    if (!error) {
        size_t need = layout(reinterpret_cast<uintptr_t>(job.buf), *result).total;
        size = static_cast<uint16_t>(need > 0xFFFF ? 0xFFFF : need);
        if (job.buflen < 0 || need > static_cast<size_t>(job.buflen)) error = kErrNoBufs;
    }
    Entry e;
    uint32_t word = (static_cast<uint32_t>(error & 0xFFFF) << 16) | size;
    e.msg = Msg{windowOf(job.hwnd), job.msg, static_cast<WParam>(job.task),
                static_cast<LParam>(word)};
    e.lookup = job.task;
    if (!error) {
        e.host = std::move(result);
        e.buf = job.buf;
        e.buflen = job.buflen;
    }
    deliver(*job.mailbox, std::move(e));
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
    complete(job, error, std::move(result));
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

// The calling thread's record when hwnd is one of its windows.
Thread* ownerOf(uintptr_t hwnd) {
    Thread* t = thisThread();
    return t && findWindow(*t, hwnd) ? t : nullptr;
}

// Joins the workers when the process ends without a last clean-up.
struct JoinAtExit {
    ~JoinAtExit() { stopLookups(); }
} joinAtExit;

}  // namespace

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
    he.h_addrtype = kAfInet;
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
    uintptr_t h = handleOf(hwnd);
    Thread* t = ownerOf(h);
    if (!name || !buf || !t) {
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
        p.jobs.push_back(Job{task, t->mailbox, h, msg, buf, buflen, name});
    }
    p.cv.notify_one();
    return task;
}

Handle WSAAsyncGetHostByAddr(Hwnd hwnd, unsigned msg, const char* addr, int len,
                             int type, char* buf, int buflen) {
    uintptr_t h = handleOf(hwnd);
    if (type != kAfInet) {
        setLastError(kErrAfNoSupport);
        return 0;
    }
    Thread* t = ownerOf(h);
    if (!addr || len != 4 || !buf || !t) {
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
    Job job{newTask(), t->mailbox, h, msg, buf, buflen, std::string()};
    complete(job, 0, std::move(result));
    return job.task;
}

// By the thread that started the lookup. A queued lookup is dropped; a
// running one is marked so that its outcome is thrown away; a finished one
// still waiting in this thread's mailbox or queue is removed, so its hostent
// is never written. One already taken (or unknown) cannot be cancelled.
int WSACancelAsyncRequest(Handle task) {
    if (!task) {
        setLastError(kErrInvalid);
        return kSocketError;
    }
    auto completes = [task](const Entry& e) { return e.lookup == task; };
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
        if (Thread* t = thisThread()) {
            std::lock_guard<std::mutex> boxHold(t->mailbox->mu);
            for (std::deque<Entry>* list : {&t->mailbox->entries, &t->queue}) {
                auto done = std::find_if(list->begin(), list->end(), completes);
                if (done != list->end()) {
                    list->erase(done);
                    return 0;
                }
            }
        }
    }
    setLastError(kErrAlready);
    return kSocketError;
}

}  // namespace plat
