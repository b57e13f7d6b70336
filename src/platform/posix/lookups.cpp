// Host lookups: getaddrinfo for both families on a small pool of worker
// threads. The window must be the calling thread's; the lookup keeps that
// thread's mailbox, and the outcome is left there (thread.cpp), so a worker
// never needs to find the window. The addresses reach the caller's list only
// when the window's own thread takes the message (messages.cpp); a window
// destroyed first drops it, so its list is never touched. The workers are
// joined when the last user cleans up and at exit.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "platform/system_address.h"
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
    SockAddr* list;                    // where the addresses go
    int max;                           // ... and how many fit
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

// Leaves the completion in the calling thread's mailbox. A failed lookup
// carries no result, and so writes nothing.
void complete(const Job& job, int error, std::shared_ptr<const AddrResult> result) {
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
    size_t count = error ? 0 : std::min(result->size(), static_cast<size_t>(job.max));
    Entry e;
    uint32_t word = (static_cast<uint32_t>(error & 0xFFFF) << 16) |
                    static_cast<uint32_t>(count);
    e.msg = Msg{windowOf(job.hwnd), job.msg, static_cast<WParam>(job.task),
                static_cast<LParam>(word)};
    e.lookup = job.task;
    if (!error) {
        e.addrs = std::move(result);
        e.list = job.list;
        e.max = static_cast<int>(count);
    }
    deliver(*job.mailbox, std::move(e));
}

// Both families, in the resolver's order, each address once. No
// AI_ADDRCONFIG: it would drop ::1 on a machine whose only IPv6 address is
// the loopback, and an address the machine cannot reach fails its connect
// and the core goes on with the next.
void resolve(const Job& job) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(job.name.c_str(), nullptr, &hints, &list);
    int saved = errno;
    auto result = std::make_shared<AddrResult>();
    int error = errorFromLookup(rc, saved);
    if (!error) {
        appendAddresses(list, result.get());
        if (result->empty()) error = kErrNoData;
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

void writeAddrs(const AddrResult& r, SockAddr* list, int max) {
    if (!list) return;
    for (size_t i = 0; i < r.size() && i < static_cast<size_t>(max); ++i) list[i] = r[i];
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

Handle WSAAsyncGetAddrInfo(Hwnd hwnd, unsigned msg, const char* name, SockAddr* list,
                           int max) {
    uintptr_t h = handleOf(hwnd);
    Thread* t = ownerOf(h);
    if (!name || !list || max < 1 || max > 0xFFFF || !t) {
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
        p.jobs.push_back(Job{task, t->mailbox, h, msg, list, max, name});
    }
    p.cv.notify_one();
    return task;
}

// By the thread that started the lookup. A queued lookup is dropped; a
// running one is marked so that its outcome is thrown away; a finished one
// still waiting in this thread's mailbox or queue is removed, so its list is
// never written. One already taken (or unknown) cannot be cancelled.
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
