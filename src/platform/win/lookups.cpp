// Host lookups: the system's getaddrinfo for both families, on a worker
// thread of each lookup's own, which copies the addresses into the caller's
// list and posts the completion to the window. The worker's delivery and a
// cancel meet under one lock, so once a cancel has returned nothing more is
// written or posted. Each worker holds a reference on this library and drops
// it as it exits, so a library unloaded while a lookup runs stays mapped
// until the worker has left its code.
#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/system_address.h"
#include "winsys.h"

namespace plat {

namespace {

struct Job {
    Handle task;            // the caller's handle of the lookup
    HWND hwnd;              // window the completion is posted to
    unsigned msg;           // its message number
    std::string name;       // the name to resolve
    SockAddr* list;         // where the addresses go
    int max;                // ... and how many fit
    bool cancelled = false; // the caller no longer wants the outcome
    HMODULE self = nullptr; // the reference the worker holds on the library
};

std::mutex jobsLock;     // guards the two below
std::vector<Job*> live;  // started, neither delivered nor dropped yet
Handle lastTask = 0;

// Windows Sockets numbers, above the library's own codes: the resolver
// reports a lack of memory as 8, which would read as a code of ours.
int lookupError(int rc) {
    if (rc == 0) return 0;
    if (rc == WSA_NOT_ENOUGH_MEMORY) return WSAENOBUFS;
    if (rc < WSABASEERR || rc > 0xFFFF) return WSANO_RECOVERY;
    return rc;
}

// Both families, in the resolver's order, each address once.
int resolve(const std::string& name, std::vector<SockAddr>* found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int error = lookupError(::getaddrinfo(name.c_str(), nullptr, &hints, &list));
    if (!error) {
        appendAddresses(list, found);
        if (found->empty()) error = WSANO_DATA;
    }
    if (list) ::freeaddrinfo(list);
    return error;
}

// Writes and posts the outcome unless the lookup was cancelled.
void deliver(Job* job, int error, const std::vector<SockAddr>& found) {
    std::lock_guard<std::mutex> hold(jobsLock);
    live.erase(std::find(live.begin(), live.end(), job));
    if (job->cancelled) return;
    size_t count = error ? 0 : std::min(found.size(), static_cast<size_t>(job->max));
    std::copy(found.begin(), found.begin() + count, job->list);
    ::PostMessageA(job->hwnd, job->msg, static_cast<WPARAM>(job->task),
                   MAKELPARAM(count, error));
}

DWORD WINAPI work(void* arg) {
    Job* job = static_cast<Job*>(arg);
    std::vector<SockAddr> found;
    int error = resolve(job->name, &found);
    deliver(job, error, found);
    HMODULE self = job->self;
    delete job;
    ::FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

Handle WSAAsyncGetAddrInfo(Hwnd hwnd, unsigned msg, const char* name, SockAddr* list,
                           int max) {
    if (!hwnd || !name || !list || max < 1 || max > 0xFFFF) {
        ::WSASetLastError(WSAEINVAL);
        return 0;
    }
    Job* job = new (std::nothrow) Job{};
    if (!job) {
        ::WSASetLastError(WSAENOBUFS);
        return 0;
    }
    job->hwnd = win::sysWindow(hwnd);
    job->msg = msg;
    job->list = list;
    job->max = max;
    job->name = name;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&work), &job->self)) {
        delete job;
        ::WSASetLastError(WSAENOBUFS);
        return 0;
    }
    Handle task;
    {
        std::lock_guard<std::mutex> hold(jobsLock);
        if (++lastTask == 0) ++lastTask;  // 0 means "not started"
        task = job->task = lastTask;
        live.push_back(job);
    }
    // From here the worker owns the job, and may have freed it by the time
    // CreateThread returns.
    HANDLE thread = ::CreateThread(nullptr, 0, work, job, 0, nullptr);
    if (!thread) {
        {
            std::lock_guard<std::mutex> hold(jobsLock);
            live.erase(std::find(live.begin(), live.end(), job));
        }
        ::FreeLibrary(job->self);
        delete job;
        ::WSASetLastError(WSAENOBUFS);
        return 0;
    }
    ::CloseHandle(thread);
    return task;
}

int WSACancelAsyncRequest(Handle task) {
    std::lock_guard<std::mutex> hold(jobsLock);
    for (Job* job : live) {
        if (job->task == task && !job->cancelled) {
            job->cancelled = true;
            return 0;
        }
    }
    ::WSASetLastError(task ? WSAEALREADY : WSAEINVAL);
    return SOCKET_ERROR;
}

}  // namespace plat
