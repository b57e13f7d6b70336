// Each thread's record: made at the thread's first platform call and ended
// with the thread, taking its windows, sockets and timers along; and the
// thread's mailbox, through which lookup workers reach it.
#include <sys/eventfd.h>
#include <unistd.h>

#include "posix_internal.h"

namespace plat {
namespace posix {

Mailbox::~Mailbox() {
    if (wakeFd >= 0) ::close(wakeFd);
}

void deliver(Mailbox& box, Entry e) {
    {
        std::lock_guard<std::mutex> hold(box.mu);
        box.entries.push_back(std::move(e));
    }
    uint64_t one = 1;
    // A full counter already means "look"; nothing else can fail here.
    ssize_t n = ::write(box.wakeFd, &one, sizeof one);
    (void)n;
}

// A window's line must not stay on the terminal, and a socket no thread can
// name any more would only hold its descriptor.
Thread::~Thread() {
    for (const auto& w : windows)
        if (w.second.displaying) eraseActivity();
    for (auto& s : sockets) {
        closeBulk(s.second);
        ::close(s.first);
    }
}

namespace {
thread_local std::unique_ptr<Thread> current;
}  // namespace

Thread* thisThread() {
    if (!current) {
        auto box = std::make_shared<Mailbox>();
        box->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (box->wakeFd < 0) return nullptr;
        current = std::make_unique<Thread>();
        current->mailbox = std::move(box);
    }
    return current.get();
}

Window* findWindow(Thread& t, uintptr_t hwnd) {
    auto it = t.windows.find(hwnd);
    return it == t.windows.end() ? nullptr : &it->second;
}

SockRec* findSocket(Thread& t, Socket s) {
    if (s < 0 || s > INT32_MAX) return nullptr;
    auto it = t.sockets.find(static_cast<int>(s));
    return it == t.sockets.end() ? nullptr : &it->second;
}

}  // namespace posix
}  // namespace plat
